"""A real two-level CA run with the openssl program: a root, an intermediate, leaves issued by
`openssl ca` from requests, revocation and CRLs made by `openssl ca -gencrl`."""

import pathlib
import subprocess

CA_DAYS = ("20190101000000Z", "20390101000000Z")


def openssl(*args):
    result = subprocess.run(["openssl", *map(str, args)], capture_output=True, text=True, check=False)
    if result.returncode != 0:
        raise RuntimeError(f"openssl {' '.join(map(str, args))} failed: {result.stderr}")
    return result.stdout


def _config(directory: pathlib.Path) -> str:
    return (
        "[ ca ]\ndefault_ca = own\n[ own ]\n"
        f"dir = {directory}\n"
        "database = $dir/index.txt\nnew_certs_dir = $dir/issued\nserial = $dir/serial\n"
        "crlnumber = $dir/crlnumber\ncertificate = $dir/cert.pem\nprivate_key = $dir/key.pem\n"
        "default_md = sha256\ndefault_days = 365\ndefault_crl_days = 30\npolicy = anything\n"
        "preserve = yes\ncopy_extensions = copy\nunique_subject = no\n"
        "[ anything ]\norganizationName = optional\ncommonName = supplied\nemailAddress = optional\n"
        "[ req ]\ndistinguished_name = dn\n[ dn ]\n"
        "[ ca_cert ]\nbasicConstraints = critical,CA:TRUE\nkeyUsage = critical,keyCertSign,cRLSign\n"
        "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n"
    )


class OpensslCa:
    def __init__(self, directory: pathlib.Path):
        self.directory = directory
        self.root = self._ca_directory("root")
        openssl("req", "-new", "-config", self.root / "ca.cnf", "-key", self.root / "key.pem",
                "-subj", "/CN=Python Test Root/O=norvan tests", "-out", self.root / "req.pem")
        openssl("ca", "-batch", "-config", self.root / "ca.cnf", "-selfsign", "-in", self.root / "req.pem",
                "-extensions", "ca_cert", "-startdate", CA_DAYS[0], "-enddate", CA_DAYS[1], "-notext",
                "-out", self.root / "cert.pem")
        self.intermediate = self._ca_directory("intermediate")
        openssl("req", "-new", "-config", self.root / "ca.cnf", "-key", self.intermediate / "key.pem",
                "-subj", "/CN=Python Test Intermediate/O=norvan tests", "-out", self.intermediate / "req.pem")
        openssl("ca", "-batch", "-config", self.root / "ca.cnf", "-in", self.intermediate / "req.pem",
                "-extensions", "ca_cert", "-startdate", CA_DAYS[0], "-enddate", CA_DAYS[1], "-notext",
                "-out", self.intermediate / "cert.pem")

    def _ca_directory(self, name):
        directory = self.directory / name
        (directory / "issued").mkdir(parents=True)
        (directory / "index.txt").write_text("")
        (directory / "serial").write_text("1000\n")
        (directory / "crlnumber").write_text("1000\n")
        (directory / "ca.cnf").write_text(_config(directory))
        openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", directory / "key.pem")
        return directory

    @property
    def root_pem(self) -> bytes:
        return (self.root / "cert.pem").read_bytes()

    @property
    def intermediate_pem(self) -> bytes:
        return (self.intermediate / "cert.pem").read_bytes()

    def issue(self, request: pathlib.Path, name: str, extended_key_usage="emailProtection", dates=None):
        """The intermediate's certificate (PEM file) for the request file `request`."""
        extensions = self.directory / f"{name}.ext"
        text = ("[ leaf ]\nbasicConstraints = CA:FALSE\nkeyUsage = critical,digitalSignature\n"
                "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n")
        if extended_key_usage:
            text += f"extendedKeyUsage = {extended_key_usage}\n"
        extensions.write_text(text)
        out = self.directory / f"{name}.pem"
        args = ["ca", "-batch", "-config", self.intermediate / "ca.cnf", "-in", request, "-extfile", extensions,
                "-extensions", "leaf", "-notext", "-out", out]
        if dates:
            args += ["-startdate", dates[0], "-enddate", dates[1]]
        openssl(*args)
        return out

    def revoke(self, ca_directory: pathlib.Path, certificate: pathlib.Path):
        openssl("ca", "-batch", "-config", ca_directory / "ca.cnf", "-revoke", certificate)

    def crl(self, ca_directory: pathlib.Path, name: str) -> pathlib.Path:
        out = self.directory / name
        openssl("ca", "-batch", "-config", ca_directory / "ca.cnf", "-gencrl", "-out", out)
        return out
