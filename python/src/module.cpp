// The extension module norvan._norvan: the whole norvan API as the Python package norvan,
// one submodule per module of the C++ library.

#include "support.hpp"

namespace {

namespace np = norvan::python;

constexpr const char* kPackage = "norvan";

}  // namespace

PYBIND11_MODULE(_norvan, module) {
  module.doc() = "norvan: signing keys, S/MIME signing and verification, and build tooling.";
  np::bind_errors(module);

  auto verification = np::submodule(module, kPackage, "verification", "The common error type of signature verification.");
  np::bind_verification(verification);

  auto signing = np::submodule(module, kPackage, "signing", "Keys, certificates, signed messages and their verification.");
  const std::string signing_name = std::string(kPackage) + ".signing";
  auto merrowin = np::submodule(signing, signing_name.c_str(), "merrowin",
                                "Signing keys: creation of RSA and elliptic-curve private keys, PEM writing and loading.");
  np::bind_merrowin(merrowin);
  auto certificates = np::submodule(signing, signing_name.c_str(), "certificates",
                                    "The certificate builder: self-signed X.509 certificates for a private key.");
  np::bind_certificates(certificates);
  auto brisvale = np::submodule(signing, signing_name.c_str(), "brisvale",
                                "Verification of detached CMS SignedData signatures and validation of the "
                                "signer's certificate against trusted certificates.");
  np::bind_brisvale(brisvale);
  auto mime = np::submodule(signing, signing_name.c_str(), "mime",
                            "The S/MIME clear-signed message format: signing a payload into a message and "
                            "verifying a message back into its payload.");
  np::bind_mime(mime);
  auto pkcs11 = np::submodule(signing, signing_name.c_str(), "pkcs11",
                              "Private keys held in PKCS#11 tokens, named by RFC 7512 \"pkcs11:\" URIs.");
  np::bind_pkcs11(pkcs11);

  auto api = np::submodule(module, kPackage, "api", "The operations behind the command-line commands.");
  auto ostrand = np::submodule(api, (std::string(kPackage) + ".api").c_str(), "ostrand",
                               "The operations behind the key and certificate sub-commands, and their output routine.");
  np::bind_ostrand(ostrand);

  auto binary_image = np::submodule(module, kPackage, "binary_image", "Build tooling of the binary distribution.");
  const std::string binary_image_name = std::string(kPackage) + ".binary_image";
  auto drovane = np::submodule(binary_image, binary_image_name.c_str(), "drovane",
                               "Conversion of a Poetry-form pyproject.toml into a Hatch (hatchling) project file.");
  np::bind_drovane(drovane);
  auto kelvory = np::submodule(binary_image, binary_image_name.c_str(), "kelvory",
                               "A scoped set-up that puts the Hatch form of pyproject.toml in place around build work.");
  np::bind_kelvory(kelvory);
  auto docker = np::submodule(binary_image, binary_image_name.c_str(), "docker",
                              "Running commands for build scripts, and building Docker images from Dockerfile text.");
  np::bind_docker(docker);
}
