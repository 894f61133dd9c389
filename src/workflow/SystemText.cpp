#include "SystemText.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

struct Translation {
    int Err;
    const char* Text;
};

// The errors a person meets with files and serial ports.
const Translation Translations[] = {
    {EPERM, "операция не разрешена"},
    {ENOENT, "нет такого файла или папки"},
    {EINTR, "прервано сигналом"},
    {EIO, "ошибка ввода-вывода"},
    {ENXIO, "нет такого устройства или адреса"},
    {EBADF, "неверный дескриптор файла"},
    {EAGAIN, "ресурс временно недоступен"},
    {ENOMEM, "не хватает памяти"},
    {EACCES, "нет доступа"},
    {EBUSY, "устройство занято"},
    {EEXIST, "файл уже существует"},
    {ENODEV, "нет такого устройства"},
    {ENOTDIR, "не папка"},
    {EISDIR, "это папка"},
    {EINVAL, "недопустимый аргумент"},
    {EMFILE, "открыто слишком много файлов"},
    {ENOTTY, "устройство не является последовательным портом"},
    {EFBIG, "файл слишком велик"},
    {ENOSPC, "нет места на устройстве"},
    {EROFS, "файловая система только для чтения"},
    {ENAMETOOLONG, "слишком длинное имя файла"},
    {ELOOP, "слишком много символических ссылок"},
    {ETIMEDOUT, "время ожидания истекло"},
    {EDQUOT, "превышена дисковая квота"},
};

} // namespace

std::string SystemErrorText(int err)
{
    for (const auto& t : Translations)
        if (t.Err == err) return t.Text;
    return std::strerror(err);
}

std::string RussianSystemTexts(std::string text)
{
    for (const auto& t : Translations) {
        const std::string english = std::strerror(t.Err);
        if (english.empty()) continue;
        for (std::size_t at = text.find(english); at != std::string::npos; at = text.find(english, at)) {
            text.replace(at, english.size(), t.Text);
            at += std::strlen(t.Text);
        }
    }
    return text;
}
