// Release wheels run on systems whose C++ runtime is older than the
// compiler's. The profile-guided build inlines std::allocator in places that
// then call std::__throw_bad_array_new_length, which only newer runtimes
// export (GLIBCXX_3.4.29); a copy of our own, hidden inside the module,
// keeps the module to the older runtime. (Linking the runtime statically is
// no way out: it needs a newer C library instead.)
#ifdef PYQUARL_PORTABLE_RUNTIME
#include <new>

namespace std {
[[noreturn, gnu::visibility("hidden")]] void __throw_bad_array_new_length() {
    throw std::bad_array_new_length();
}
}  // namespace std
#endif
