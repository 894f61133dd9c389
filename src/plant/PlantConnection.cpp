#include "PlantConnection.h"

#include "UlvTrace.h"

#include <libpq-fe.h>

#include <cerrno>
#include <clocale>
#include <locale.h>
#include <poll.h>

namespace {

// libpq's own messages in English while it works on this thread, whatever the
// program's locale: the causes are recognised from them.
class CMessages {
public:
    CMessages()
    {
        static const locale_t c = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
        if (c) FOld = ::uselocale(c);
    }
    ~CMessages()
    {
        if (FOld) ::uselocale(FOld);
    }
    CMessages(const CMessages&) = delete;
    CMessages& operator=(const CMessages&) = delete;

private:
    locale_t FOld = static_cast<locale_t>(nullptr);
};

bool Has(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

// The name in the first "..." after a key phrase ('database "x" does not exist').
std::string Quoted(const std::string& text, const char* before)
{
    const std::size_t at = text.find(before);
    if (at == std::string::npos) return {};
    const std::size_t open = text.find('"', at);
    if (open == std::string::npos) return {};
    const std::size_t close = text.find('"', open + 1);
    return close == std::string::npos ? std::string() : text.substr(open + 1, close - open - 1);
}

std::string FirstLine(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    // libpq tells each address it tried on its own line; the last says why.
    const std::size_t nl = text.rfind('\n');
    std::string line = nl == std::string::npos ? text : text.substr(nl + 1);
    if (line.empty()) line = text;
    return line;
}

} // namespace

std::string PlantErrorText(const std::string& m, const std::string& sqlstate, const std::string& role)
{
    const std::string r = "«" + role + "»";
    if (Has(m, "password authentication failed"))
        return "Сервер учёта отказал во входе: неверный пароль роли " + r +
               " (пароль берётся из ~/.pgpass или переменной PGPASSWORD)";
    if (Has(m, "no password supplied"))
        return "Сервер учёта требует пароль роли " + r +
               ", а его нет: запишите его в ~/.pgpass или в переменную PGPASSWORD";
    if (Has(m, "does not exist") && Has(m, "database \""))
        return "На сервере учёта нет базы данных «" + Quoted(m, "database \"") +
               "»: проверьте [Plant] Database в файле настроек";
    if (Has(m, "does not exist") && Has(m, "role \""))
        return "На сервере учёта нет роли «" + Quoted(m, "role \"") + "»: её создаёт администратор базы";
    if (Has(m, "server does not support SSL, but SSL was required"))
        return "Сервер учёта не принимает шифрованные соединения (TLS), а в настройке задано sslmode=require: "
               "включите TLS на сервере или измените sslmode в [Plant] Database";
    if (Has(m, "SSL") && (Has(m, "certificate") || Has(m, "root cert")))
        return "Сертификат сервера учёта не проверен (TLS): " + FirstLine(m);
    if (sqlstate == "42501" || Has(m, "permission denied"))
        return "У роли " + r +
               " нет прав на запись в учёт завода: администратор базы даёт их командой GRANT plant_bench TO " +
               role + " (" + FirstLine(m) + ")";
    if (Has(m, "no pg_hba.conf entry"))
        return "Сервер учёта не пускает роль " + r + " с этого компьютера (нет строки в pg_hba.conf)";
    if (Has(m, "too many connections") || sqlstate == "53300")
        return "Сервер учёта занят: слишком много подключений";
    if (sqlstate == "57P01" || sqlstate == "57P02" || sqlstate == "57P03" || Has(m, "the database system is"))
        return "Сервер учёта перезапускается или останавливается: " + FirstLine(m);
    if (Has(m, "Connection refused") || Has(m, "No such file or directory") || Has(m, "could not connect") ||
        Has(m, "could not translate host name") || Has(m, "timeout expired") || Has(m, "server closed") ||
        Has(m, "no connection") || Has(m, "Network is unreachable") || Has(m, "No route to host") ||
        Has(m, "terminating connection") || Has(m, "connection to server"))
        return "Сервер учёта недоступен: " + FirstLine(m);
    return "Ошибка сервера учёта: " + FirstLine(m);
}

bool CheckPlantDatabase(const std::string& database, std::string& error)
{
    CMessages english;
    char* message = nullptr;
    PQconninfoOption* options = PQconninfoParse(database.c_str(), &message);
    if (!options) {
        error = "Строка подключения к учёту завода ([Plant] Database) не разобрана: " +
                (message ? FirstLine(message) : std::string("нет памяти"));
        PQfreemem(message);
        return false;
    }
    bool password = false;
    for (PQconninfoOption* o = options; o->keyword; ++o)
        if (std::string(o->keyword) == "password" && o->val && *o->val) password = true;
    PQconninfoFree(options);
    if (password) {
        error = "В [Plant] Database записан пароль: файл настроек пароль не хранит, запишите его в ~/.pgpass "
                "(или в переменную PGPASSWORD) и уберите из строки подключения";
        return false;
    }
    return true;
}

PlantConnection::PlantConnection(int stopFd) : FStopFd(stopFd) {}

PlantConnection::~PlantConnection()
{
    Close();
}

void PlantConnection::Close()
{
    if (FConn) PQfinish(FConn);
    FConn = nullptr;
}

bool PlantConnection::Connected() const
{
    return FConn && PQstatus(FConn) == CONNECTION_OK;
}

std::string PlantConnection::Role() const
{
    const char* user = FConn ? PQuser(FConn) : nullptr;
    return user ? user : "?";
}

void PlantConnection::Fail(const std::string& message, const std::string& sqlstate)
{
    FSqlState = sqlstate;
    FError = PlantErrorText(message, sqlstate, Role());
}

bool PlantConnection::Wait(bool forWrite, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            Fail("timeout expired: the server did not answer in time");
            return false;
        }
        pollfd fds[2] = {{PQsocket(FConn), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0},
                         {FStopFd, POLLIN, 0}};
        const int n = ::poll(fds, FStopFd >= 0 ? 2 : 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            Fail("could not connect: poll failed");
            return false;
        }
        if (FStopFd >= 0 && (fds[1].revents & POLLIN)) {
            FError = "Отправка в учёт завода остановлена";
            FSqlState.clear();
            return false;
        }
        if (n > 0) return true;
    }
}

bool PlantConnection::Connect(const std::string& database, const std::string& applicationName,
                              std::chrono::milliseconds limit)
{
    CMessages english;
    Close();
    FError.clear();
    FSqlState.clear();
    const char* keys[] = {"dbname", "fallback_application_name", "client_encoding", nullptr};
    const char* values[] = {database.c_str(), applicationName.c_str(), "UTF8", nullptr};
    FConn = PQconnectStartParams(keys, values, 1);
    if (!FConn) {
        FError = "Ошибка сервера учёта: нет памяти для подключения";
        return false;
    }
    if (PQstatus(FConn) == CONNECTION_BAD) {
        Fail(PQerrorMessage(FConn));
        Close();
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    for (;;) {
        if (state == PGRES_POLLING_OK) break;
        if (state == PGRES_POLLING_FAILED) {
            Fail(PQerrorMessage(FConn));
            Close();
            return false;
        }
        if (!Wait(state == PGRES_POLLING_WRITING, deadline)) {
            Close();
            return false;
        }
        state = PQconnectPoll(FConn);
    }
    PQsetnonblocking(FConn, 1);
    // The server's notices (a migration's "already exists") are nobody's business on a bench.
    PQsetNoticeProcessor(FConn, [](void*, const char*) {}, nullptr);
    return true;
}

bool PlantConnection::Exec(const std::string& sql, const std::vector<PlantParam>& params, PlantRows* rows,
                           std::chrono::milliseconds limit)
{
    CMessages english;
    FError.clear();
    FSqlState.clear();
    if (!Connected()) {
        Fail("no connection to the server");
        return false;
    }
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
    // Text without parameters (the schema's migrations: several statements)
    // goes as a simple query; anything with data goes as parameters, never as text.
    const int sent = params.empty() ? PQsendQuery(FConn, sql.c_str())
                                    : PQsendQueryParams(FConn, sql.c_str(), static_cast<int>(params.size()), nullptr,
                                                        values.data(), nullptr, nullptr, 0);
    if (!sent) {
        Fail(PQerrorMessage(FConn));
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // Sends what did not fit at once.
    for (;;) {
        const int f = PQflush(FConn);
        if (f == 0) break;
        if (f < 0 || !Wait(true, deadline)) {
            if (f < 0) Fail(PQerrorMessage(FConn));
            Close();
            return false;
        }
    }
    bool ok = true;
    std::string message, sqlstate;
    for (;;) {
        while (PQisBusy(FConn)) {
            if (!Wait(false, deadline)) {
                // The statement's fate is unknown: the connection goes, and with
                // it any transaction it had open.
                Close();
                return false;
            }
            if (!PQconsumeInput(FConn)) {
                Fail(PQerrorMessage(FConn));
                Close();
                return false;
            }
        }
        PGresult* res = PQgetResult(FConn);
        if (!res) break;
        const ExecStatusType st = PQresultStatus(res);
        if (st == PGRES_TUPLES_OK && rows) {
            rows->Columns.clear();
            rows->Rows.clear();
            for (int c = 0; c < PQnfields(res); ++c) rows->Columns.emplace_back(PQfname(res, c));
            for (int r = 0; r < PQntuples(res); ++r) {
                auto& row = rows->Rows.emplace_back();
                for (int c = 0; c < PQnfields(res); ++c)
                    row.push_back(PQgetisnull(res, r, c) ? std::nullopt
                                                          : std::optional<std::string>(PQgetvalue(res, r, c)));
            }
        } else if (st != PGRES_TUPLES_OK && st != PGRES_COMMAND_OK && ok) {
            ok = false;
            const char* state = PQresultErrorField(res, PG_DIAG_SQLSTATE);
            sqlstate = state ? state : "";
            const char* text = PQresultErrorMessage(res);
            message = text && *text ? text : PQerrorMessage(FConn);
        }
        PQclear(res);
    }
    if (!ok) {
        Fail(message, sqlstate);
        if (PQstatus(FConn) != CONNECTION_OK) Close();
    }
    return ok;
}

void PlantConnection::Rollback()
{
    const std::string error = FError, state = FSqlState;
    if (Connected()) Exec("ROLLBACK", {});
    FError = error;
    FSqlState = state;
}

std::string PlantArray(const std::vector<PlantParam>& values)
{
    std::string out = "{";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) out += ',';
        if (!values[i]) {
            out += "NULL";
            continue;
        }
        out += '"';
        for (char c : *values[i]) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    return out + "}";
}

std::string PlantJsonObject(const std::vector<std::pair<std::string, std::string>>& fields)
{
    std::string out = "{";
    for (std::size_t i = 0; i < fields.size(); ++i)
        out += (i ? "," : "") + JsonString(fields[i].first) + ":" + JsonString(fields[i].second);
    return out + "}";
}
