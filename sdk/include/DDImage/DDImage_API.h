// Symbol visibility for the host SDK runtime library.
#pragma once

#if defined(_WIN32)
#if defined(DDImage_EXPORTS)
#define DDImage_API __declspec(dllexport)
#else
#define DDImage_API __declspec(dllimport)
#endif
#else
#define DDImage_API __attribute__((visibility("default")))
#endif
