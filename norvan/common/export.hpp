#pragma once
// What the shared library libnorvan exports. It is built with hidden visibility, so that only
// its public interface is visible to programs that link it (fewer symbols for the dynamic
// loader to look up at every start, and nothing that callers could come to depend on by
// accident). A public header (norvan/<package>/<module>.hpp) puts its declarations between
// NORVAN_PUBLIC_BEGIN and NORVAN_PUBLIC_END, after its #include lines; NORVAN_API marks a single
// declaration elsewhere, and NORVAN_INTERNAL a class that a public header only names (a forward
// declaration of a detail type) and so would otherwise export. Headers private to a module (in
// norvan/<package>/<module>/) use none of them: their declarations stay inside the library.

#if defined(__GNUC__)
#define NORVAN_API __attribute__((visibility("default")))
#define NORVAN_INTERNAL __attribute__((visibility("hidden")))
#define NORVAN_PUBLIC_BEGIN _Pragma("GCC visibility push(default)")
#define NORVAN_PUBLIC_END _Pragma("GCC visibility pop")
#else
#define NORVAN_API
#define NORVAN_INTERNAL
#define NORVAN_PUBLIC_BEGIN
#define NORVAN_PUBLIC_END
#endif
