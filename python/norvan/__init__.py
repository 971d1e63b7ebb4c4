"""norvan: signing keys, S/MIME signing and verification, and build tooling.

The whole API lives in one extension module; its submodules are importable as usual:
``import norvan.signing.mime`` or ``from norvan.signing import mime``.
"""

from norvan._norvan import OpenSSLError, api, binary_image, signing, verification
from norvan._picklable import make_methods_picklable

make_methods_picklable(signing.mime.Verifier, "verify", "verify_file", "verify_files")
del make_methods_picklable

__all__ = ["OpenSSLError", "api", "binary_image", "signing", "verification"]
