"""Keys, certificates, signed messages and their verification."""
