#include "tools/vantoro/wav_file.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace vantoro {

namespace {

void PutU32(uint8_t* p, uint32_t v) {
    for (int k = 0; k < 4; ++k)
        p[k] = static_cast<uint8_t>(v >> (8 * k));
}

} // namespace

bool WriteWavFile(const std::string& path, const WAVEFORMATEXTENSIBLE& format, const uint8_t* data,
                  uint32_t dataBytes) {
    constexpr uint32_t kFmtBytes = sizeof(WAVEFORMATEXTENSIBLE);
    const uint32_t pad = dataBytes & 1u;
    uint8_t header[12 + 8 + kFmtBytes + 8];
    std::memcpy(header, "RIFF", 4);
    PutU32(header + 4, 4 + (8 + kFmtBytes) + (8 + dataBytes + pad));
    std::memcpy(header + 8, "WAVE", 4);
    std::memcpy(header + 12, "fmt ", 4);
    PutU32(header + 16, kFmtBytes);
    std::memcpy(header + 20, &format, kFmtBytes);
    std::memcpy(header + 20 + kFmtBytes, "data", 4);
    PutU32(header + 24 + kFmtBytes, dataBytes);

    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const uint8_t zero = 0;
    bool ok = std::fwrite(header, sizeof header, 1, file) == 1;
    if (ok && dataBytes) ok = std::fwrite(data, dataBytes, 1, file) == 1;
    if (ok && pad) ok = std::fwrite(&zero, 1, 1, file) == 1;
    ok = (std::fclose(file) == 0) && ok;
    if (!ok) {
        struct stat info;
        if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) unlink(path.c_str());
    }
    return ok;
}

} // namespace vantoro
