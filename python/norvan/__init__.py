"""norvan: signing keys, S/MIME signing and verification, and build tooling.

The whole API lives in one extension module; its submodules are importable as usual:
``import norvan.signing.mime`` or ``from norvan.signing import mime``.
"""

from norvan._norvan import OpenSSLError, api, binary_image, signing, verification

__all__ = ["OpenSSLError", "api", "binary_image", "signing", "verification"]
