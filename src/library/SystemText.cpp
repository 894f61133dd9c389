#include "SystemText.h"

#include <cerrno>
#include <cstdio>
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
    {ENFILE, "открыто слишком много файлов в системе"}, // before EMFILE, whose text begins its own
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

TulvOpenError OpenErrorKind(TulvOpenStep step, int err)
{
    switch (step) {
    case TulvOpenStep::Open:
        if (err == ENOENT || err == ENODEV || err == ENXIO || err == ENOTDIR) return TulvOpenError::Missing;
        if (err == EACCES || err == EPERM) return TulvOpenError::NoPermission;
        if (err == EBUSY) return TulvOpenError::Busy;
        return TulvOpenError::Other;
    case TulvOpenStep::Lock: return err == EWOULDBLOCK ? TulvOpenError::Busy : TulvOpenError::Other;
    case TulvOpenStep::Settings: return TulvOpenError::Other;
    }
    return TulvOpenError::Other;
}

std::string PortOpenErrorText(TulvOpenError kind, const std::string& path, int err)
{
    switch (kind) {
    case TulvOpenError::None: return {};
    case TulvOpenError::Missing: return "Порт " + path + " не найден";
    case TulvOpenError::NoPermission:
        return "Нет доступа к порту " + path + " (пользователь должен входить в группу dialout)";
    case TulvOpenError::Busy: return "Порт " + path + " занят другой программой";
    case TulvOpenError::Other: break;
    }
    return "Не удаётся открыть порт " + path + ": " + SystemErrorText(err);
}

std::string PortRs485NoticeText(const std::string& path, int err)
{
    if (err == ENOTTY || err == EINVAL || err == EOPNOTSUPP)
        return "Управление направлением RS-485 не поддерживается этим адаптером (" + path + "); порт открыт без него";
    return "Не удалось включить управление направлением RS-485 на порту " + path + ": " + SystemErrorText(err) +
           "; порт открыт без него";
}

std::string PortEchoMismatchText(const std::string& path, std::size_t at, std::size_t total, std::uint8_t sent,
                                 std::uint8_t got)
{
    char detail[96];
    std::snprintf(detail, sizeof detail, " (байт %zu из %zu: отправлен %02X, принят %02X)", at, total, sent, got);
    return "Эхо запроса на порту " + path + " не совпадает с запросом" + detail + ": проверьте линию и настройку Echo";
}

std::string PortEchoLateText(const std::string& path, std::size_t taken, std::size_t total)
{
    return "Эхо запроса на порту " + path + " не пришло вовремя (принято " + std::to_string(taken) + " из " +
           std::to_string(total) + " байт): слышит ли адаптер свой запрос? Проверьте настройку Echo";
}
