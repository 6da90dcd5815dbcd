#pragma once

#include "log/log.h"
#include "ustring/ustring.h"

// One log macro per component. Each supplies the component and the source line (the
// format's first "%d"); the text stays as administrators read it.

namespace logcomponent {

// Built once: a log call must not allocate its component's name.
inline const ustring& launcher()
{
    static const ustring name("launcher_debug");
    return name;
}

inline const ustring& service()
{
    static const ustring name("service_debug");
    return name;
}

inline const ustring& extractor()
{
    static const ustring name("extractor_debug");
    return name;
}

inline const ustring& fileOp()
{
    static const ustring name("file_op_debug");
    return name;
}

} // namespace logcomponent

#define BRISENDALE_LOG(component, level, fmt, ...)                                                 \
    Logger::LogMsg(Logger::level, logcomponent::component(), fmt, __LINE__, ##__VA_ARGS__)

// Subsystem 1: main, the launcher and its worker.
#define LAUNCHER_LOG(level, fmt, ...) BRISENDALE_LOG(launcher, level, fmt, ##__VA_ARGS__)
// The service, its Linux side, the upgrade guard and the manifest.
#define SERVICE_LOG(level, fmt, ...) BRISENDALE_LOG(service, level, fmt, ##__VA_ARGS__)
// The package extractor.
#define EXTRACTOR_LOG(level, fmt, ...) BRISENDALE_LOG(extractor, level, fmt, ##__VA_ARGS__)
// The file library.
#define FILE_OP_LOG(level, fmt, ...) BRISENDALE_LOG(fileOp, level, fmt, ##__VA_ARGS__)
