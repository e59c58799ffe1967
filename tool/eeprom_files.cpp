#include "eeprom_files.h"

#include "tool_log.h"

std::optional<std::size_t> load_eeprom_file(const char *path, std::span<std::uint8_t> image,
                                            const char *ending)
{
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) {
        TOOL_ERROR("Opening File : %s for reading eeprom data !!!%s", path, ending);
        return std::nullopt;
    }
    const std::size_t count = std::fread(image.data(), 1, image.size(), file);
    const bool read_failed = std::ferror(file) != 0;
    // One byte more than the image holds means the file does not fit.
    const bool too_long = !read_failed && count == image.size() && std::fgetc(file) != EOF;
    std::fclose(file);

    if (read_failed) {
        TOOL_ERROR("Reading File : %s for eeprom data failed !!!%s", path, ending);
        return std::nullopt;
    }
    if (too_long) {
        TOOL_ERROR("File : %s holds more than %zu bytes of eeprom data !!!%s", path, image.size(), ending);
        return std::nullopt;
    }
    std::printf("EEPROM Byte Count = %d\n", static_cast<int>(count));
    return count;
}

std::FILE *create_eeprom_file(const char *path, const char *ending)
{
    std::FILE *file = std::fopen(path, "wb");
    if (file == nullptr)
        TOOL_ERROR("Opening File : %s for writing eeprom data !!!%s", path, ending);
    return file;
}

bool store_eeprom_file(std::FILE *file, const char *path, std::span<const std::uint8_t> data)
{
    const bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
    // Buffered data reaches the file only at close, so its result counts too.
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        TOOL_ERROR("Writing File : %s with eeprom data failed !!!", path);
        return false;
    }
    std::printf("EEPROM Flash Content written to file : %s\n", path);
    return true;
}
