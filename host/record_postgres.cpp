// The PostgreSQL store: many stations writing to one server through libpq.
#include "record_sql.h"

#include <libpq-fe.h>

namespace korvin {
namespace {

class postgres_connection : public sql_connection {
  public:
    explicit postgres_connection(PGconn* conn) : conn_(conn) {}
    ~postgres_connection() override { PQfinish(conn_); }

    bool exec(const std::string& sql, const sql_params& params, record_rows* rows,
              std::string& error) override {
        const bool outside = !in_transaction_;
        if (run(sql, params, rows, error))
            return true;
        // A server restarted since the last statement leaves the connection
        // dead: one new connection is tried, outside a transaction only (a
        // new connection would not have the transaction).
        if (PQstatus(conn_) != CONNECTION_BAD || !outside)
            return false;
        PQreset(conn_);
        return PQstatus(conn_) == CONNECTION_OK && run(sql, params, rows, error);
    }

    bool run(const std::string& sql, const sql_params& params, record_rows* rows,
             std::string& error) {
        std::vector<const char*> values;
        for (const auto& p : params)
            values.push_back(p ? p->c_str() : nullptr);
        PGresult* result = PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()),
                                        nullptr, values.data(), nullptr, nullptr, 0);
        const ExecStatusType status = PQresultStatus(result);
        const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
        if (!ok) {
            error = PQresultErrorMessage(result);
            if (error.empty())
                error = PQerrorMessage(conn_);
            while (!error.empty() && (error.back() == '\n' || error.back() == ' '))
                error.pop_back();
        } else if (rows) {
            for (int r = 0; r < PQntuples(result); ++r) {
                auto& row = rows->emplace_back();
                for (int c = 0; c < PQnfields(result); ++c) {
                    if (PQgetisnull(result, r, c))
                        row.emplace_back();
                    else
                        row.emplace_back(
                            std::string(PQgetvalue(result, r, c), PQgetlength(result, r, c)));
                }
            }
        }
        PQclear(result);
        in_transaction_ = PQtransactionStatus(conn_) == PQTRANS_INTRANS ||
                          PQtransactionStatus(conn_) == PQTRANS_INERROR;
        return ok;
    }

    // The lock makes two stations creating the schema at once take turns;
    // writes of runs need no more than a transaction.
    const char* begin_write() const override { return "BEGIN"; }
    const char* list_tables() const override {
        return "SELECT table_name FROM information_schema.tables "
               "WHERE table_schema = current_schema()";
    }
    const char* id_column() const override { return "BIGSERIAL PRIMARY KEY"; }
    bool owns_whole_database() const override { return false; }
    bool prepare_for_writing(std::string&) override { return true; }
    bool lock_schema(std::string& error) override {
        return exec("SELECT pg_advisory_xact_lock(7263347)", {}, nullptr, error);
    }

  private:
    PGconn* conn_;
    bool in_transaction_ = false;
};

} // namespace

std::unique_ptr<sql_connection> open_postgres(const std::string& uri, std::string& reason) {
    // A server that does not answer is given up after 10 s unless the URI
    // says otherwise (its own connect_timeout comes later and wins).
    const char* const keywords[] = {"connect_timeout", "dbname", nullptr};
    const char* const values[] = {"10", uri.c_str(), nullptr};
    PGconn* conn = PQconnectdbParams(keywords, values, 1);
    if (!conn) {
        reason = "out of memory";
        return nullptr;
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        reason = PQerrorMessage(conn);
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' '))
            reason.pop_back();
        PQfinish(conn);
        return nullptr;
    }
    // Warnings such as "relation already exists, skipping" are not for the user.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    return std::make_unique<postgres_connection>(conn);
}

} // namespace korvin
