#include "server/raster.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <jpeglib.h>
#include <memory>
#include <png.h>

namespace BL::Server {

namespace {

// Averages the source rows fed to it, top to bottom, into a smaller picture: each output pixel
// gets the mean of the source pixels that map onto it. Holds one output row of sums.
class CBoxScaler
{
public:
    CBoxScaler(int sourceWidth, int sourceHeight, SRgbImage& out)
        : m_out(out), m_sourceHeight(sourceHeight), m_column(static_cast<std::size_t>(sourceWidth)),
          m_sums(static_cast<std::size_t>(out.width) * 3), m_counts(static_cast<std::size_t>(out.width))
    {
        for (int x = 0; x < sourceWidth; ++x)
            m_column[static_cast<std::size_t>(x)] =
                static_cast<int>(static_cast<long long>(x) * out.width / sourceWidth);
    }

    // The next source row, RGB.
    void addRow(const unsigned char* rgb)
    {
        const int target = static_cast<int>(static_cast<long long>(m_y++) * m_out.height / m_sourceHeight);
        if (target != m_target)
            flush();
        m_target = target;
        const int* column = m_column.data();
        std::uint32_t* sums = m_sums.data();
        std::uint32_t* counts = m_counts.data();
        for (const unsigned char* end = rgb + m_column.size() * 3; rgb != end; rgb += 3, ++column) {
            std::uint32_t* sum = sums + *column * 3;
            sum[0] += rgb[0];
            sum[1] += rgb[1];
            sum[2] += rgb[2];
            ++counts[*column];
        }
    }
    void finish() { flush(); }

private:
    void flush()
    {
        unsigned char* row = m_out.row(m_target);
        for (std::size_t x = 0; x < m_counts.size(); ++x) {
            const std::uint32_t count = m_counts[x] ? m_counts[x] : 1;
            for (std::size_t c = 0; c < 3; ++c)
                row[x * 3 + c] = static_cast<unsigned char>((m_sums[x * 3 + c] + count / 2) / count);
        }
        std::fill(m_sums.begin(), m_sums.end(), 0);
        std::fill(m_counts.begin(), m_counts.end(), 0);
    }

    SRgbImage& m_out;
    const int m_sourceHeight;
    std::vector<int> m_column;
    // An output pixel covers at most a few hundred thousand source pixels: 32 bits hold their sums.
    std::vector<std::uint32_t> m_sums;
    std::vector<std::uint32_t> m_counts;
    int m_y = 0;
    int m_target = 0;
};

bool prepare(SRgbImage* out, int width, int height, int sourceWidth, int sourceHeight)
{
    if (width < 1 || height < 1 || width > sourceWidth || height > sourceHeight)
        return false;
    out->width = width;
    out->height = height;
    out->pixels.assign(static_cast<std::size_t>(width) * height * 3, 0);
    return true;
}

// An interlaced PNG is read whole; beyond this it gets no preview.
constexpr std::size_t maxWholePngBytes = 64 * 1024 * 1024;

// What a PNG read keeps across libpng's longjmp: on the heap, so that it is not lost with the
// registers.
struct SPngRead
{
    std::string_view data;
    std::size_t offset = 0;
    std::vector<unsigned char> row;
    std::vector<unsigned char> rgb;
    std::vector<unsigned char> whole;
    std::vector<png_bytep> rows;
    std::unique_ptr<CBoxScaler> scaler;
};

[[noreturn]] void onPngError(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

void readPngBytes(png_structp png, png_bytep out, png_size_t length)
{
    auto* read = static_cast<SPngRead*>(png_get_io_ptr(png));
    if (length > read->data.size() - read->offset)
        png_error(png, "truncated");
    std::memcpy(out, read->data.data() + read->offset, length);
    read->offset += length;
}

// RGBA over white, into RGB.
void overWhite(const unsigned char* rgba, std::size_t pixels, unsigned char* rgb)
{
    for (std::size_t i = 0; i < pixels; ++i) {
        const unsigned alpha = rgba[i * 4 + 3];
        for (std::size_t c = 0; c < 3; ++c)
            rgb[i * 3 + c] =
                static_cast<unsigned char>((rgba[i * 4 + c] * alpha + 255 * (255 - alpha) + 127) / 255);
    }
}

bool decodePng(std::string_view bytes, int width, int height, SRgbImage* out)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onPngError, onPngWarning);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    const auto read = std::make_unique<SPngRead>();
    read->data = bytes;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, read.get(), readPngBytes);
    // decodableImageType() checked every checksum already.
    png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
    png_read_info(png, info);
    const png_uint_32 sourceWidth = png_get_image_width(png, info);
    const png_uint_32 sourceHeight = png_get_image_height(png, info);
    const int colorType = png_get_color_type(png, info);
    // Every kind of PNG to 8-bit RGB, or RGBA when it has transparency: palettes and low depths
    // expanded, 16 bits cut to 8, grey to RGB.
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    const bool alpha = (colorType & PNG_COLOR_MASK_ALPHA) || png_get_valid(png, info, PNG_INFO_tRNS);
    const std::size_t channels = alpha ? 4 : 3;
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != static_cast<std::size_t>(sourceWidth) * channels ||
        !prepare(out, width, height, static_cast<int>(sourceWidth), static_cast<int>(sourceHeight)))
        png_error(png, "unexpected layout");
    read->rgb.resize(static_cast<std::size_t>(sourceWidth) * 3);
    read->scaler =
        std::make_unique<CBoxScaler>(static_cast<int>(sourceWidth), static_cast<int>(sourceHeight), *out);
    const auto addRow = [&](const unsigned char* row) {
        if (alpha) {
            overWhite(row, sourceWidth, read->rgb.data());
            row = read->rgb.data();
        }
        read->scaler->addRow(row);
    };
    const std::size_t rowBytes = static_cast<std::size_t>(sourceWidth) * channels;
    if (passes > 1) {
        if (rowBytes * sourceHeight > maxWholePngBytes)
            png_error(png, "interlaced picture too large");
        read->whole.resize(rowBytes * sourceHeight);
        for (png_uint_32 y = 0; y < sourceHeight; ++y)
            read->rows.push_back(read->whole.data() + rowBytes * y);
        png_read_image(png, read->rows.data());
        for (png_bytep row : read->rows)
            addRow(row);
    } else {
        read->row.resize(rowBytes);
        for (png_uint_32 y = 0; y < sourceHeight; ++y) {
            png_read_row(png, read->row.data(), nullptr);
            addRow(read->row.data());
        }
    }
    read->scaler->finish();
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

struct SJpegRead
{
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    std::unique_ptr<CBoxScaler> scaler;
};

void onJpegError(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<SJpegRead*>(info->err)->jump, 1);
}

void onJpegMessage(j_common_ptr, int) {}

bool decodeJpeg(std::string_view bytes, int width, int height, SRgbImage* out)
{
    jpeg_decompress_struct info;
    const auto read = std::make_unique<SJpegRead>();
    info.err = jpeg_std_error(&read->manager);
    read->manager.error_exit = onJpegError;
    read->manager.emit_message = onJpegMessage;
    jpeg_create_decompress(&info);
    if (setjmp(read->jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&info, TRUE);
    if (info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    info.out_color_space = JCS_RGB;
    // The decoder's own scaling first, as far as it stays at least the size wanted: it skips
    // most of the work.
    for (const unsigned denominator : {8u, 4u, 2u, 1u}) {
        info.scale_num = 1;
        info.scale_denom = denominator;
        jpeg_calc_output_dimensions(&info);
        if (static_cast<int>(info.output_width) >= width && static_cast<int>(info.output_height) >= height)
            break;
    }
    if (!prepare(out, width, height, static_cast<int>(info.output_width),
                 static_cast<int>(info.output_height))) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    read->scaler = std::make_unique<CBoxScaler>(static_cast<int>(info.output_width),
                                                static_cast<int>(info.output_height), *out);
    jpeg_start_decompress(&info);
    JSAMPARRAY line = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                                info.output_width * info.output_components, 1);
    while (info.output_scanline < info.output_height) {
        jpeg_read_scanlines(&info, line, 1);
        read->scaler->addRow(line[0]);
    }
    read->scaler->finish();
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

std::uint32_t bigEndian(const unsigned char* bytes)
{
    return (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) |
           (std::uint32_t(bytes[2]) << 8) | bytes[3];
}

void appendPngBytes(png_structp png, png_bytep data, png_size_t length)
{
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), length);
}

void flushNothing(png_structp) {}

} // namespace

bool pictureSize(std::string_view bytes, EImageType type, int* width, int* height)
{
    if (type == EImageType::Png) {
        // The signature, then the header chunk's length and type, then its width and height.
        if (bytes.size() < 24 || bytes.compare(12, 4, "IHDR") != 0)
            return false;
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
        *width = static_cast<int>(bigEndian(data + 16));
        *height = static_cast<int>(bigEndian(data + 20));
        return *width > 0 && *height > 0;
    }
    if (type != EImageType::Jpeg)
        return false;
    jpeg_decompress_struct info;
    const auto read = std::make_unique<SJpegRead>();
    info.err = jpeg_std_error(&read->manager);
    read->manager.error_exit = onJpegError;
    read->manager.emit_message = onJpegMessage;
    jpeg_create_decompress(&info);
    if (setjmp(read->jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&info, TRUE);
    *width = static_cast<int>(info.image_width);
    *height = static_cast<int>(info.image_height);
    jpeg_destroy_decompress(&info);
    return *width > 0 && *height > 0;
}

bool decodeScaled(std::string_view bytes, EImageType type, int width, int height, SRgbImage* out)
{
    const SDecodeSlot slot;
    switch (type) {
    case EImageType::Png:
        return decodePng(bytes, width, height, out);
    case EImageType::Jpeg:
        return decodeJpeg(bytes, width, height, out);
    case EImageType::None:
        break;
    }
    return false;
}

SRgbImage scaledDown(const SRgbImage& image, int width, int height)
{
    SRgbImage out;
    if (!prepare(&out, width, height, image.width, image.height))
        return out;
    CBoxScaler scaler(image.width, image.height, out);
    for (int y = 0; y < image.height; ++y)
        scaler.addRow(image.row(y));
    scaler.finish();
    return out;
}

std::string encodePng(const SRgbImage& image)
{
    if (image.width < 1 || image.height < 1)
        return {};
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, onPngError, onPngWarning);
    if (!png)
        return {};
    png_infop info = png_create_info_struct(png);
    const auto out = std::make_unique<std::string>();
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, out.get(), appendPngBytes, flushNothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < image.height; ++y)
        png_write_row(png, image.row(y));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::move(*out);
}

} // namespace BL::Server
