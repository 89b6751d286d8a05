// StandinLog.h: the call log every stand-in library keeps, one line per call, read through StandinCallLog().
// Included by exactly one source of each stand-in library: it defines that library's control exports.
#pragma once
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "_common.h"

namespace standin {

// Each stand-in library (and each copy of it under another file name) has its own log: everything here
// is hidden, so no two libraries share it.
struct Log {
    std::mutex mutex;
    std::string text;
    std::string snapshot;  // what StandinCallLog() last handed out
    bool recording = true;
};

// A static object, not a heap one: a stand-in may be unloaded (a transport frees it), and then its memory
// must go with it.
inline Log& TheLog() {
    static Log log;
    return log;
}

inline void Record(const std::string& line) {
    Log& log = TheLog();
    std::lock_guard<std::mutex> lock(log.mutex);
    if (log.recording) log.text += line + "\n";
}

inline bool Recording() {
    return TheLog().recording;
}

// "11:00 02 00 ..." for a message of 11 bytes.
inline std::string Bytes(const byte* bytes, int32_t length) {
    std::string text = std::to_string(length) + ":";
    for (int32_t i = 0; bytes != nullptr && i < length; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += hex;
    }
    return text;
}

}  // namespace standin

// Controls shared by every stand-in library.
VELTRIX_EXPORT const char* StandinCallLog() {
    standin::Log& log = standin::TheLog();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.snapshot = log.text;
    return log.snapshot.c_str();
}

VELTRIX_EXPORT void StandinClearLog() {
    standin::Log& log = standin::TheLog();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.text.clear();
}

VELTRIX_EXPORT void StandinSetRecording(int on) {
    standin::TheLog().recording = on != 0;
}
