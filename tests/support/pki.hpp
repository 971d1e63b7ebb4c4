#pragma once
// A small test PKI: keys, CA and end-entity certificates made with OpenSSL for the tests.
