// The stores a build leaves out say so when asked for.
#include "record_sql.h"

namespace korvin {

#if !defined(KORVIN_HAVE_SQLITE)
std::unique_ptr<sql_connection> open_sqlite(const std::string&, std::string& reason) {
    reason = "korvin was built without SQLite support";
    return nullptr;
}
#endif

#if !defined(KORVIN_HAVE_POSTGRES)
std::unique_ptr<sql_connection> open_postgres(const std::string&, std::string& reason) {
    reason = "korvin was built without PostgreSQL support";
    return nullptr;
}
#endif

} // namespace korvin
