#include "server/image_check.h"

#include "server/png_check.h"

#include <algorithm>
#include <condition_variable>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <jerror.h>
#include <jpeglib.h>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace BL::Server {

namespace {

// Far beyond any screen grab, small enough that a decode cannot exhaust memory.
constexpr unsigned long long maxPixels = 40ULL * 1000 * 1000;

// Checks hold a picture's inflated rows or decoded lines in memory: allow twice as many at once as there are
// cores, which bounds memory under a flood of uploads and costs no throughput.
class CDecodeSlots
{
public:
    CDecodeSlots() : m_free(std::max(4u, 2 * std::thread::hardware_concurrency())) {}
    void acquire()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_available.wait(lock, [this] { return m_free > 0; });
        --m_free;
    }
    void release()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_free;
        }
        m_available.notify_one();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_available;
    unsigned m_free;
};

CDecodeSlots decodeSlots;

bool decodesAsPng(std::string_view bytes)
{
    return isCompletePng(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), maxPixels);
}

// A progressive file may hold any number of scans, each a pass over the whole picture; real
// encoders write about ten.
constexpr int maxJpegScans = 100;
// Progressive and multi-scan files keep every coefficient of the picture in memory.
constexpr long maxJpegMemory = 64L * 1024 * 1024;

struct SJpegErrors
{
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    bool truncated = false;
};

struct SJpegProgress
{
    jpeg_progress_mgr manager;
    SJpegErrors* errors = nullptr;
};

void onJpegError(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<SJpegErrors*>(info->err)->jump, 1);
}

void onJpegMessage(j_common_ptr info, int level)
{
    // Every warning is corrupt data (a file cut short decodes with grey filler and only a
    // warning): that is a broken upload, and decoding on would only cost time.
    if (level < 0)
        std::longjmp(reinterpret_cast<SJpegErrors*>(info->err)->jump, 1);
}

void onJpegProgress(j_common_ptr info)
{
    if (info->is_decompressor && reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > maxJpegScans)
        std::longjmp(reinterpret_cast<SJpegProgress*>(info->progress)->errors->jump, 1);
}

bool decodesAsJpeg(std::string_view bytes)
{
    jpeg_decompress_struct info;
    SJpegErrors errors;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = onJpegError;
    errors.manager.emit_message = onJpegMessage;
    jpeg_create_decompress(&info);
    info.mem->max_memory_to_use = maxJpegMemory;
    SJpegProgress progress;
    progress.manager.progress_monitor = onJpegProgress;
    progress.errors = &errors;
    info.progress = &progress.manager;
    if (setjmp(errors.jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&info, TRUE);
    if (static_cast<unsigned long long>(info.image_width) * info.image_height > maxPixels) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    // Scaled output still reads all entropy-coded data but skips most of the pixel work.
    info.scale_num = 1;
    info.scale_denom = 8;
    jpeg_start_decompress(&info);
    JSAMPARRAY row = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                               info.output_width * info.output_components, 1);
    while (info.output_scanline < info.output_height && !errors.truncated)
        jpeg_read_scanlines(&info, row, 1);
    if (!errors.truncated)
        jpeg_finish_decompress(&info);
    const bool ok = !errors.truncated;
    jpeg_destroy_decompress(&info);
    return ok;
}

} // namespace

SDecodeSlot::SDecodeSlot()
{
    decodeSlots.acquire();
}

SDecodeSlot::~SDecodeSlot()
{
    decodeSlots.release();
}

EImageType announcedImageType(std::string_view bytes)
{
    static const unsigned char pngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (bytes.size() >= 8 && std::memcmp(bytes.data(), pngSignature, 8) == 0)
        return EImageType::Png;
    if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xff &&
        static_cast<unsigned char>(bytes[1]) == 0xd8 && static_cast<unsigned char>(bytes[2]) == 0xff)
        return EImageType::Jpeg;
    return EImageType::None;
}

bool decodesCompletely(std::string_view bytes, EImageType type)
{
    if (type == EImageType::None || announcedImageType(bytes) != type)
        return false;
    const SDecodeSlot slot;
    return type == EImageType::Png ? decodesAsPng(bytes) : decodesAsJpeg(bytes);
}

EImageType decodableImageType(std::string_view bytes)
{
    const EImageType type = announcedImageType(bytes);
    return decodesCompletely(bytes, type) ? type : EImageType::None;
}

const char* mimeType(EImageType type)
{
    switch (type) {
    case EImageType::Png:
        return "image/png";
    case EImageType::Jpeg:
        return "image/jpeg";
    case EImageType::None:
        break;
    }
    return "application/octet-stream";
}

const char* fileExtension(EImageType type)
{
    switch (type) {
    case EImageType::Png:
        return "png";
    case EImageType::Jpeg:
        return "jpg";
    case EImageType::None:
        break;
    }
    return "bin";
}

} // namespace BL::Server
