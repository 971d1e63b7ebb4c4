"""Project-file conversion: the file driver and the converters on dicts."""

import tomllib

import pytest

from norvan.binary_image import drovane

POETRY = """\
[project]
name = "sample"
version = "1.2.3"
license = "Proprietary"
authors = [{name = "A", email = "a@example.org"}, {name = "B"}]
maintainers = [{name = "M", email = "m@example.org"}]
dependencies = ["requests (>=2.0,<3.0)", "rich"]
requires-python = ">=3.9,<4"
urls = {home = "https://example.org"}

[tool.poetry]
packages = [{include = "sample"}]

[build-system]
requires = ["poetry-core"]
build-backend = "poetry.core.masonry.api"
"""


def test_convert_drovane_writes_the_hatch_project(tmp_path):
    poetry_file, hatch_file = tmp_path / "pyproject.toml", tmp_path / "hatch.toml"
    poetry_file.write_text(POETRY)
    drovane.convert_drovane(poetry_file, str(hatch_file))
    text = hatch_file.read_text()
    assert text.endswith('\n\n[build-system]\nbuild-backend = "hatchling.build"\nrequires = ["hatchling"]\n')
    project = tomllib.loads(text)["project"]
    assert list(project) == ["name", "version", "description", "readme", "keywords", "license", "classifiers",
                             "authors", "dependencies", "requires-python"]
    assert project["license"] == "LicenseRef-Proprietary"
    assert [author["name"] for author in project["authors"]] == ["A", "B", "M"]
    assert project["dependencies"] == ["requests (>=2.0,<3.0)", "rich"]
    assert "[tool" not in text and "[publish.index]" not in text


def test_convert_drovane_errors_leave_the_output_alone(tmp_path):
    poetry_file, hatch_file = tmp_path / "pyproject.toml", tmp_path / "hatch.toml"
    hatch_file.write_text("previous")
    poetry_file.write_text(POETRY.replace('requires-python = ">=3.9,<4"\n', ""))
    with pytest.raises(drovane.MissingKeyError) as caught:
        drovane.convert_drovane(poetry_file, hatch_file)
    assert caught.value.key == "requires-python"
    assert isinstance(caught.value, KeyError) and "requires-python" in str(caught.value)
    assert not str(caught.value).startswith("'")
    poetry_file.write_text("[project\nname = ")
    with pytest.raises(drovane.TomlSyntaxError):
        drovane.convert_drovane(poetry_file, hatch_file)
    with pytest.raises(FileNotFoundError):
        drovane.convert_drovane(tmp_path / "missing.toml", hatch_file)
    assert hatch_file.read_text() == "previous"


def test_converters_change_the_hatch_dict_in_place():
    poetry = tomllib.loads(POETRY)
    hatch = {"project": {}}
    drovane.convert_mandatory_metadata(hatch, poetry)
    drovane.convert_optional_metadata(hatch, poetry)
    assert hatch["project"]["license"] == "Proprietary"
    drovane.convert_license(hatch, poetry)
    drovane.convert_authors(hatch, poetry)
    drovane.convert_dependencies(hatch, poetry)
    assert list(hatch["project"]) == ["name", "version", "description", "readme", "keywords", "license",
                                      "classifiers", "authors", "dependencies", "requires-python"]
    assert hatch["project"]["license"] == "LicenseRef-Proprietary"
    assert hatch["project"]["readme"] == "README.md" and hatch["project"]["keywords"] == []
    assert hatch["project"]["authors"] == poetry["project"]["authors"] + poetry["project"]["maintainers"]


def test_converter_errors():
    with pytest.raises(drovane.MissingKeyError) as caught:
        drovane.convert_mandatory_metadata({"project": {}}, {"project": {"name": "x"}})
    assert caught.value.key == "version"
    with pytest.raises(KeyError):
        drovane.convert_license({}, {"project": {}})
    with pytest.raises(drovane.ConversionError):
        drovane.convert_authors({"project": {}}, {"project": {"authors": {"name": "not an array"}}})
    with pytest.raises(TypeError):
        drovane.convert_dependencies({"project": {}}, {"project": {"dependencies": None}})
    with pytest.raises(TypeError):
        drovane.convert_license({"project": {}}, "not a dict")


def test_license_values_other_than_proprietary_are_copied():
    for license_ in ("proprietary", "MIT", "", {"text": "Proprietary"}):
        hatch = {"project": {}}
        drovane.convert_license(hatch, {"project": {"license": license_}})
        assert hatch["project"]["license"] == license_


def test_write_hatch_pyproject_toml(tmp_path):
    target = tmp_path / "out.toml"
    drovane.write_hatch_pyproject_toml({"project": {"name": "x", "keywords": ["a", "b"], "n": 3}}, target)
    text = target.read_text()
    assert tomllib.loads(text)["project"] == {"name": "x", "keywords": ["a", "b"], "n": 3}
    assert text.endswith('\n\n[build-system]\nbuild-backend = "hatchling.build"\nrequires = ["hatchling"]\n')
    with pytest.raises(TypeError):
        drovane.write_hatch_pyproject_toml({"project": {"name": object()}}, target)
