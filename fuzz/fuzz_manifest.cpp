// Any bytes as a manifest body: parsing never crashes, and what it accepts
// keeps the promises the rest of the installer relies on.
#include "release.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    Manifest manifest;
    QString error;
    if (parseManifest(body, manifest, error)) {
        // The version names a file and a folder that is deleted recursively.
        if (manifest.version.isEmpty() || manifest.version.contains(QLatin1Char('/')) ||
            manifest.version.contains(QLatin1Char('\\')) || manifest.url.isEmpty() ||
            !error.isEmpty())
            std::abort();
    } else if (error.isEmpty()) {
        std::abort(); // a refusal always says why
    }
    return 0;
}
