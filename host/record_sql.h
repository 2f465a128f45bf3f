#pragma once
// What the store needs of a database: one connection that runs a statement
// with text parameters ($1, $2, ...) and returns text rows. SQLite and
// PostgreSQL each provide one; the schema and the writes are shared.
#include "record.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvin {

using sql_params = std::vector<std::optional<std::string>>;

class sql_connection {
  public:
    virtual ~sql_connection() = default;
    virtual bool exec(const std::string& sql, const sql_params& params, record_rows* rows,
                      std::string& error) = 0;
    // Starts a write transaction that holds off other writers until it ends.
    virtual const char* begin_write() const = 0;
    // The tables of the database, korvin's or not.
    virtual const char* list_tables() const = 0;
    // The type of an id column that numbers itself.
    virtual const char* id_column() const = 0;
    // Whether tables of other programs mean the database is not korvin's (a
    // SQLite file is korvin's alone; a server's database may be shared).
    virtual bool owns_whole_database() const = 0;
    // Made ready for writing once the database is known to be korvin's.
    virtual bool prepare_for_writing(std::string& error) = 0;
    // Inside a write transaction: holds off others creating the schema.
    virtual bool lock_schema(std::string&) { return true; }
};

// "sqlite:PATH"; null with the reason when the file cannot be opened.
std::unique_ptr<sql_connection> open_sqlite(const std::string& path, std::string& reason);

// A libpq connection URI; null with the reason.
std::unique_ptr<sql_connection> open_postgres(const std::string& uri, std::string& reason);

} // namespace korvin
