// One connection to the plant's PostgreSQL server, through libpq.
//
// Everything waits with poll() on the server's socket and on a stop
// descriptor, with a deadline: a server that is down, slow or gone never
// holds a caller longer than its limit, and a stop ends every wait at once.
// Statements are always parameterised. Failures come back as a Russian text
// that names the cause (PlantErrorText).
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;

// A parameter: text, or SQL NULL.
using PlantParam = std::optional<std::string>;

// The rows of a statement as text (NULL: std::nullopt).
struct PlantRows {
    std::vector<std::string> Columns;
    std::vector<std::vector<std::optional<std::string>>> Rows;
};

// The Russian text for a failure: message is libpq's (in the C locale),
// sqlstate the server's code when there was one, role the role used.
std::string PlantErrorText(const std::string& message, const std::string& sqlstate, const std::string& role);

// A connection string that may be used: false with the reason when it cannot
// be parsed or carries a password (that belongs in ~/.pgpass or PGPASSWORD).
bool CheckPlantDatabase(const std::string& database, std::string& error);

class PlantConnection {
public:
    // stopFd: a descriptor that becomes readable when every wait must end (-1: none).
    explicit PlantConnection(int stopFd = -1);
    ~PlantConnection();
    PlantConnection(const PlantConnection&) = delete;
    PlantConnection& operator=(const PlantConnection&) = delete;

    // Connects (closing an earlier connection); false with Error() set.
    bool Connect(const std::string& database, const std::string& applicationName, std::chrono::milliseconds limit);
    bool Connected() const;
    void Close();

    // Runs a statement with its parameters ($1, $2, ...); without parameters the
    // text may hold several statements. False with Error() and SqlState() set.
    // rows (may be nullptr) gets the last result's rows.
    bool Exec(const std::string& sql, const std::vector<PlantParam>& params, PlantRows* rows = nullptr,
              std::chrono::milliseconds limit = std::chrono::seconds(30));

    // Ends a failed transaction (when still connected), keeping the failure's
    // Error() and SqlState().
    void Rollback();

    const std::string& Error() const { return FError; }
    const std::string& SqlState() const { return FSqlState; }
    // The role the connection uses (or tried to use).
    std::string Role() const;

private:
    bool Wait(bool forWrite, std::chrono::steady_clock::time_point deadline);
    void Fail(const std::string& message, const std::string& sqlstate = {});

    int FStopFd;
    PGconn* FConn = nullptr;
    std::string FError;
    std::string FSqlState;
};

// Quotes texts as the elements of a PostgreSQL array literal ({"a","b"}; NULL
// for nothing), for a parameter of an array type.
std::string PlantArray(const std::vector<PlantParam>& values);
// A JSON object of texts, in the order given.
std::string PlantJsonObject(const std::vector<std::pair<std::string, std::string>>& fields);
