#include "norvan/binary_image/nox.hpp"
#include "norvan/cli/cli.hpp"
#include "norvan/common/files.hpp"
#include "norvan/signing/brisvale.hpp"
#include "norvan/cli/did_you_mean.hpp"

#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

#include <filesystem>

using norvan::testing::run_norvan;
using norvan::testing::run_process;

TEST(Program, HelpVersionAndUsageErrors) {
  const auto help = run_norvan({"--help"});
  EXPECT_EQ(help.exit_status, 0);
  EXPECT_NE(help.out.find("Usage"), std::string::npos);
  // Every command compiled into the program has registered its sub-command.
  for (const char* command : {"tarrowby", "palisande", "request", "sign", "verify", "build"}) {
    EXPECT_NE(help.out.find(std::string("\n  ") + command + " "), std::string::npos) << command;
    EXPECT_EQ(run_norvan({command, "--help"}).exit_status, 0) << command;
  }

  const auto version = run_norvan({"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_NE(version.out.find("norvan "), std::string::npos);

  const auto none = run_norvan({});
  EXPECT_EQ(none.exit_status, 2);
  EXPECT_EQ(none.err,
            "norvan: no command given; one of: build, palisande, request, sign, tarrowby, verify, help, completion\n"
            "Run 'norvan --help' for usage.\n");
  const auto unknown_option = run_norvan({"-V"});
  EXPECT_EQ(unknown_option.exit_status, 2);
  EXPECT_EQ(unknown_option.err, "norvan: unknown option '-V'\nRun 'norvan --help' for usage.\n");
}

TEST(Program, UnknownCommandsSuggestTheClosestOne) {
  const struct {
    const char* given;
    std::string err;
  } cases[] = {
      {"sig", "norvan: unknown command 'sig'; did you mean 'sign'?\n"},
      {"verfiy", "norvan: unknown command 'verfiy'; did you mean 'verify'?\n"},
      {"tar", "norvan: unknown command 'tar'; did you mean 'tarrowby'?\n"},
      {"no-such-command", "norvan: unknown command 'no-such-command'\n"},
  };
  for (const auto& c : cases) {
    const auto result = run_norvan({c.given, "--output", "x"});
    EXPECT_EQ(result.exit_status, 2) << c.given;
    EXPECT_EQ(result.err, c.err + "Run 'norvan --help' for usage.\n");
    EXPECT_EQ(result.out, "");
  }
}

TEST(Program, HelpCommandShowsWhatHelpOptionsShow) {
  EXPECT_EQ(run_norvan({"help"}).out, run_norvan({"--help"}).out);
  for (const char* command : {"tarrowby", "sign", "verify", "build"}) {
    const auto shown = run_norvan({"help", command});
    EXPECT_EQ(shown.exit_status, 0) << command;
    EXPECT_EQ(shown.out, run_norvan({command, "--help"}).out) << command;
  }
  EXPECT_EQ(run_norvan({"help", "build", "docker-image"}).out, run_norvan({"build", "docker-image", "--help"}).out);

  const auto unknown = run_norvan({"help", "sig"});
  EXPECT_EQ(unknown.exit_status, 2);
  EXPECT_EQ(unknown.err, "norvan: unknown command 'sig'; did you mean 'sign'?\nRun 'norvan --help' for usage.\n");
  const auto unknown_sub = run_norvan({"help", "build", "nothing"});
  EXPECT_EQ(unknown_sub.exit_status, 2);
  EXPECT_EQ(unknown_sub.err, "norvan: 'norvan build' has no sub-command 'nothing'\nRun 'norvan build --help' for usage.\n");
}

TEST(ClosestName, CountsEditsAndSwapsAgainstTheNameLength) {
  const std::vector<std::string> names{"sign", "verify", "tarrowby", "palisande", "build", "help"};
  EXPECT_EQ(norvan::cli::closest_name("sgin", names), "sign");       // neighbours swapped
  EXPECT_EQ(norvan::cli::closest_name("palisnde", names), "palisande");
  EXPECT_EQ(norvan::cli::closest_name("bild", names), "build");
  EXPECT_EQ(norvan::cli::closest_name("pal", names), "palisande");  // the only name it starts
  EXPECT_EQ(norvan::cli::closest_name("co", {"convert", "completion"}), std::nullopt);  // starts two
  EXPECT_EQ(norvan::cli::closest_name("xxxx", names), std::nullopt);
  EXPECT_EQ(norvan::cli::closest_name("", names), std::nullopt);
  EXPECT_EQ(norvan::cli::closest_name(std::string(1000, 'a'), names), std::nullopt);
}

// The candidates the bash completion function offers for `words` (the cursor at the end of the
// last one), sorted, one per line.
std::string bash_completions(const std::vector<std::string>& words, const std::string& directory = ".") {
  std::vector<std::string> argv{"bash", "-c",
                                "cd \"$1\" && source <(\"$0\" completion bash) && shift && COMP_WORDS=(\"$@\") && "
                                "COMP_CWORD=$(($# - 1)) && _norvan && for word in \"${COMPREPLY[@]}\"; do echo \"$word\"; done | "
                                "LC_ALL=C sort",
                                NORVAN_PROGRAM, directory};
  argv.insert(argv.end(), words.begin(), words.end());
  const auto result = norvan::testing::run_process(argv);
  EXPECT_EQ(result.exit_status, 0) << result.err;
  return result.out;
}

TEST(Completion, BashCompletesCommandsOptionsAndFileArguments) {
  norvan::testing::TempDir dir;
  std::filesystem::create_directory(dir / "keys");
  norvan::testing::write_file(dir / "key.pem", "");
  const std::string here = dir.path().string();

  EXPECT_EQ(bash_completions({"norvan", ""}), "build\ncompletion\nhelp\npalisande\nrequest\nsign\ntarrowby\nverify\n");
  EXPECT_EQ(bash_completions({"norvan", "si"}), "sign\n");
  EXPECT_EQ(bash_completions({"norvan", "sign", "--c"}), "--certificate\n--chain\n");
  EXPECT_EQ(bash_completions({"norvan", "sign", "--password"}), "--password\n--password-fd\n--password-file\n");
  EXPECT_EQ(bash_completions({"norvan", "tarrowby", "-"}), "--help\n--output\n--password\n--password-fd\n--password-file\n-h\n-o\n-p\n");
  EXPECT_EQ(bash_completions({"norvan", "build", ""}), "convert-pyproject\ndocker-image\nhatch-project\n");
  EXPECT_EQ(bash_completions({"norvan", "build", "hatch-project", "--r"}), "--root\n");
  EXPECT_EQ(bash_completions({"norvan", "help", "ve"}), "verify\n");
  EXPECT_EQ(bash_completions({"norvan", "completion", ""}), "bash\nfish\nzsh\n");
  // Option arguments: files, directories, or nothing to offer.
  EXPECT_EQ(bash_completions({"norvan", "sign", "-c", "k"}, here), "key.pem\nkeys\n");
  EXPECT_EQ(bash_completions({"norvan", "verify", "--trusted-dir", "k"}, here), "keys\n");
  EXPECT_EQ(bash_completions({"norvan", "verify", "--crl", "k"}, here), "key.pem\nkeys\n");
  EXPECT_EQ(bash_completions({"norvan", "sign", "--pkcs11-module", "k"}, here), "key.pem\nkeys\n");
  EXPECT_EQ(bash_completions({"norvan", "verify", "--purpose", ""}, here), "");
  EXPECT_EQ(bash_completions({"norvan", "palisande", "--validity-in-years", ""}, here), "");
  // The positional payload: files, after options that took their values.
  EXPECT_EQ(bash_completions({"norvan", "sign", "-o", "out", "ke"}, here), "key.pem\nkeys\n");
}

TEST(Completion, EveryShellGetsAScriptAndOthersAreUsageErrors) {
  for (const char* shell : {"bash", "zsh", "fish"}) {
    const auto script = run_norvan({"completion", shell});
    EXPECT_EQ(script.exit_status, 0) << shell;
    EXPECT_NE(script.out.find("verify"), std::string::npos) << shell;
    EXPECT_NE(script.out.find("password-file"), std::string::npos) << shell;
  }
  EXPECT_EQ(norvan::testing::run_process({"bash", "-n", "-c", run_norvan({"completion", "bash"}).out}).exit_status, 0);
  const auto other = run_norvan({"completion", "tcsh"});
  EXPECT_EQ(other.exit_status, 2);
  EXPECT_NE(other.err.find("tcsh"), std::string::npos) << other.err;
}

namespace {

// What zsh's completion function hands to compadd and _files for `words` (the cursor on the
// last one), with both replaced by functions that print their arguments; zsh itself then
// filters the candidates by the typed prefix.
std::string zsh_completions(const std::vector<std::string>& words) {
  std::vector<std::string> argv{"zsh", "-fc",
                                "compdef() { :; }; source <(\"$0\" completion zsh) && "
                                "compadd() { [[ $1 == -- ]] && shift; print -l -- \"$@\"; }; "
                                "_files() { print -- \"<files $*>\"; }; words=(\"$@\"); CURRENT=$#; _norvan",
                                NORVAN_PROGRAM};
  argv.insert(argv.end(), words.begin(), words.end());
  const auto result = run_process(argv);
  EXPECT_EQ(result.exit_status, 0) << result.err;
  return result.out;
}

// The candidates fish offers for `line`, without their descriptions, sorted.
std::string fish_completions(const std::string& line, const std::string& directory = ".") {
  const auto result = run_process(
      {"fish", "--no-config", "-c",
       "cd $argv[2]; and $argv[1] completion fish | source; and complete -C $argv[3] | cut -f1 | LC_ALL=C sort",
       NORVAN_PROGRAM, directory, line});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  return result.out;
}

}  // namespace

TEST(Completion, ZshAndFishCompleteCommandsOptionsAndFileArguments) {
  EXPECT_EQ(zsh_completions({"norvan", "si"}), "build\npalisande\nrequest\nsign\ntarrowby\nverify\nhelp\ncompletion\n");
  const std::string sign_options = zsh_completions({"norvan", "sign", "--c"});
  EXPECT_NE(sign_options.find("\n--certificate\n"), std::string::npos) << sign_options;
  EXPECT_EQ(sign_options.find("docker-image"), std::string::npos) << sign_options;
  EXPECT_EQ(zsh_completions({"norvan", "sign", "-c", ""}), "<files >\n");
  EXPECT_EQ(zsh_completions({"norvan", "verify", "--trusted-dir", ""}), "<files -/>\n");
  EXPECT_EQ(zsh_completions({"norvan", "build", ""}), "convert-pyproject\nhatch-project\ndocker-image\n");

  norvan::testing::TempDir dir;
  std::filesystem::create_directory(dir / "keys");
  norvan::testing::write_file(dir / "key.pem", "");
  EXPECT_EQ(fish_completions("norvan si"), "sign\n");
  EXPECT_EQ(fish_completions("norvan sign --c"), "--certificate\n--chain\n");
  EXPECT_EQ(fish_completions("norvan build "), "convert-pyproject\ndocker-image\nhatch-project\n");
  EXPECT_EQ(fish_completions("norvan sign -c k", dir.path().string()), "key.pem\nkeys/\n");
  EXPECT_EQ(fish_completions("norvan verify --trusted-dir k", dir.path().string()), "keys/\n");
  EXPECT_EQ(fish_completions("norvan palisande --validity-in-years ", dir.path().string()), "");
}

namespace {

// The loader's own record (glibc's LD_DEBUG=files) of the shared objects a command line made
// the program load.
std::string loaded_objects(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"env", "LD_DEBUG=files", NORVAN_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  const auto result = norvan::testing::run_process(argv);
  EXPECT_EQ(result.exit_status, 0) << result.err;
  return result.err;
}

bool loads(const std::string& record, const std::string& object) {
  return record.find("file=" + object) != std::string::npos || record.find("/" + object) != std::string::npos;
}

template <class E>
norvan::cli::FailureReport report_of(const E& error, int failure_status = norvan::cli::kFailureStatus) {
  return norvan::cli::failure_report(std::make_exception_ptr(error), failure_status);
}

}  // namespace

// Two commands of one name would leave one of them unreachable: the second is refused.
TEST(Registration, ASecondCommandOfTheSameNameIsRefused) {
  const norvan::cli::CommandSetup setup = [](CLI::App&) { return norvan::cli::Action([] {}); };
  const norvan::cli::Registration first("registration-test", setup);
  try {
    const norvan::cli::Registration second("registration-test", setup, "another");
    FAIL() << "the second registration was accepted";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "the sub-command 'registration-test' is registered twice");
  }
}

// The commands are compiled into the program: whatever runs, the one norvan library it loads is
// libnorvan, and GMime (with GLib) stays unloaded for commands that read no message.
TEST(Program, LoadsLibnorvanAloneAndNoGMimeForCommandsThatReadNoMessage) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--version"}, {"--help"}, {"tarrowby", "--help"}, {"palisande", "--help"}, {"request", "--help"}, {"sign", "--help"},
           {"verify", "--help"}, {"build", "--help"}}) {
    const std::string record = loaded_objects(args);
    EXPECT_TRUE(loads(record, "libnorvan.so.0")) << args.front() << record;
    EXPECT_EQ(record.find("libnorvan_"), std::string::npos) << args.front() << record;
    EXPECT_EQ(record.find("norvan/commands"), std::string::npos) << args.front() << record;
    EXPECT_FALSE(loads(record, "libgmime-3.0.so.0")) << args.front() << record;
    EXPECT_FALSE(loads(record, "libglib-2.0.so.0")) << args.front() << record;
    EXPECT_EQ(record.find("libp11"), std::string::npos) << args.front() << record;
  }
}

TEST(FailureReport, VerificationFailuresExitWithOneAndNameTheirTypeAndCause) {
  namespace brisvale = norvan::signing::brisvale;
  const auto plain = report_of(brisvale::HashValueError("Different hash values"), 2);
  EXPECT_EQ(plain.status, 1);
  EXPECT_EQ(plain.line, "HashValueError: Different hash values");

  // The cause's text may span lines; the report stays one line. It stands in for an empty
  // message, follows a message that it adds to, and is left out when the message says it.
  const auto cause = [](const std::string& text) {
    return std::make_exception_ptr(brisvale::CertificateValidationFailure(text, 10, 0));
  };
  const auto with_cause = report_of(brisvale::CertificateError("", cause("expired\nat depth 0")));
  EXPECT_EQ(with_cause.status, 1);
  EXPECT_EQ(with_cause.line, "CertificateError: expired at depth 0");
  EXPECT_EQ(report_of(brisvale::SignatureError("Bad", cause("too short"))).line, "SignatureError: Bad (too short)");
  EXPECT_EQ(report_of(brisvale::CertificateError("expired (depth 0)", cause("expired (depth 0)"))).line,
            "CertificateError: expired (depth 0)");
  EXPECT_EQ(report_of(brisvale::CertificateError("expired (depth 0)", cause("expired"))).line,
            "CertificateError: expired (depth 0)");
  EXPECT_EQ(report_of(brisvale::SignatureError("", cause(""))).line, "SignatureError:");

  // The report follows the error's code: an error of the verification code that is no
  // VerificationError exits with 1 and its own text; one that dictates its status keeps it.
  const auto coded = report_of(norvan::Error(norvan::ErrorCode::verification, "not\nverified"), 2);
  EXPECT_EQ(coded.status, 1);
  EXPECT_EQ(coded.line, "not verified");
  struct Dictated : norvan::Error {
    Dictated() : Error(norvan::ErrorCode::verification, "some failed") {}
    std::optional<int> exit_status() const noexcept override { return 2; }
  };
  const auto dictated = report_of(Dictated{});
  EXPECT_EQ(dictated.status, 2);
  EXPECT_EQ(dictated.line, "");
}

TEST(FailureReport, OtherErrorsExitWithTheCommandsStatus) {
  const auto file = report_of(norvan::FileError("Cannot read message file 'm': No such file", "m", {}), 2);
  EXPECT_EQ(file.status, 2);
  EXPECT_EQ(file.line, "Cannot read message file 'm': No such file");

  const auto other = report_of(std::runtime_error("first\r\nsecond"));
  EXPECT_EQ(other.status, 1);
  EXPECT_EQ(other.line, "first  second");

  const auto unknown = norvan::cli::failure_report(std::make_exception_ptr(42), 1);
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.line, "The command failed with an error of unknown type");
}

// A failed child command dictates the status, as shells report it, and has shown its own
// report: no further line.
TEST(FailureReport, FailedSessionsExitWithTheChildsStatus) {
  namespace nox = norvan::binary_image::nox;
  const auto exited = report_of(nox::SessionError(3), 2);
  EXPECT_EQ(exited.status, 3);
  EXPECT_EQ(exited.line, "");
  EXPECT_EQ(report_of(nox::SessionError(-9)).status, 128 + 9);
}

// Every norvan error shares one base with a stable code, so that callers need not compare texts.
TEST(FailureReport, NorvanErrorsShareOneBaseWithTheirCode) {
  namespace brisvale = norvan::signing::brisvale;
  const auto code_of = [](const std::exception_ptr& error) {
    try {
      std::rethrow_exception(error);
    } catch (const norvan::Error& caught) {
      return caught.code();
    }
  };
  EXPECT_EQ(code_of(std::make_exception_ptr(brisvale::SignatureError(""))), norvan::ErrorCode::verification);
  EXPECT_EQ(code_of(std::make_exception_ptr(brisvale::MalformedSignatureError("x"))),
            norvan::ErrorCode::malformed_signature);
  EXPECT_EQ(code_of(std::make_exception_ptr(norvan::binary_image::nox::SessionError(1))),
            norvan::ErrorCode::session_failed);
  EXPECT_EQ(norvan::error_code_name(norvan::ErrorCode::malformed_signature), "malformed_signature");
}

// Output that cannot be written (a full device) is a failure, reported on one line.
TEST(Program, HelpAndVersionToAFullDeviceFail) {
  for (const char* option : {"--help", "--version"}) {
    const auto full = run_process({"sh", "-c", std::string("exec \"$0\" ") + option + " > /dev/full", NORVAN_PROGRAM});
    EXPECT_EQ(full.exit_status, 1) << option;
    EXPECT_EQ(full.err, "norvan: Cannot write to standard output: No space left on device\n") << option;
  }
}

TEST(Program, NeverLoadsLibrariesFromTheDirectoryItRunsIn) {
  // A library of the same name in the working directory must not be picked up: an empty entry in
  // a binary's search path would make the loader look there first, and fail on these files.
  norvan::testing::TempDir dir;
  for (const char* name : {"libcrypto.so.3", "libstdc++.so.6", "libc.so.6", "libnorvan.so.0", "libnorvan.so",
                           "libgmime-3.0.so.0", "libglib-2.0.so.0"}) {
    norvan::testing::write_file(dir / name, "not a shared object\n");
  }
  const auto result = run_process({"sh", "-c", "cd \"$1\" && exec \"$2\" verify --help", "sh", dir.path().string(),
                                   NORVAN_PROGRAM});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.err, "");
}
