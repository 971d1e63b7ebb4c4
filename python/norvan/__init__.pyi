from norvan import api as api, binary_image as binary_image, signing as signing, verification as verification

class OpenSSLError(ValueError):
    """The cryptographic library refused the input (e.g. bytes that are not a PEM certificate)."""
