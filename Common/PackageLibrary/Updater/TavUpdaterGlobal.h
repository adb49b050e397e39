#pragma once

#include <QtGlobal>

// TAVUPDATER_STATIC: linked from the static library (tests, tavrepo), where
// nothing is imported.
#if defined(TAVUPDATER_LIBRARY)
#define TAVUPDATER_EXPORT Q_DECL_EXPORT
#elif defined(TAVUPDATER_STATIC)
#define TAVUPDATER_EXPORT
#else
#define TAVUPDATER_EXPORT Q_DECL_IMPORT
#endif
