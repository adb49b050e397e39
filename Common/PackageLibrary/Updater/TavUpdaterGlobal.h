#pragma once

#include <QtGlobal>

#if defined(TAVUPDATER_LIBRARY)
#define TAVUPDATER_EXPORT Q_DECL_EXPORT
#else
#define TAVUPDATER_EXPORT Q_DECL_IMPORT
#endif
