// The path separator that the system writes, and the one that it rewrites
// to it wherever a path comes from the user, a package or the launcher's
// configuration.
#ifndef SETUP_PLATFORM_PATH_SEPARATORS_H_
#define SETUP_PLATFORM_PATH_SEPARATORS_H_

constexpr const char16_t* kPathSeparator = u"/";
constexpr const char16_t* kBadPathSeparator = u"\\";

#endif  // SETUP_PLATFORM_PATH_SEPARATORS_H_
