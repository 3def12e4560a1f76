/*
 * qt741_export.h: how the library's interface is exported and called, for
 * QT741DLL.h (the flat functions) and mComm.h (the class).
 *
 * QT741_API marks what the library exports; QT741_CALL is the flat functions'
 * calling convention (__stdcall on Windows). Hosts define nothing; the library's
 * own build defines QT741_BUILDING_DLL, a static build of it QT741_STATIC.
 */
#ifndef QT741_EXPORT_H
#define QT741_EXPORT_H

#if defined(_WIN32)
#if defined(QT741_BUILDING_DLL)
#define QT741_API __declspec(dllexport)
#elif defined(QT741_STATIC)
#define QT741_API
#else
#define QT741_API __declspec(dllimport)
#endif
#define QT741_CALL __stdcall
#else
/* libQT741DLL.so is built with hidden visibility: what is marked here is its
   interface, and nothing else is exported. */
#if defined(QT741_STATIC)
#define QT741_API
#else
#define QT741_API __attribute__((visibility("default")))
#endif
#define QT741_CALL
#endif

/* On Windows the flat functions are exported by name from the module
   definition file, so they carry no dllexport while the library itself is built. */
#if defined(_WIN32) && (defined(QT741_BUILDING_DLL) || defined(QT741_STATIC))
#define QT741_FUNC
#else
#define QT741_FUNC QT741_API
#endif

#endif
