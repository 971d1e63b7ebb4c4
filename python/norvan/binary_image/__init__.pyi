"""Build tooling of the binary distribution."""
