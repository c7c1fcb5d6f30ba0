#include "library/sqlite_db.hpp"

#include <musiccore/index.hpp>  // index_error

namespace music_library::detail {

namespace {

std::string message_of(sqlite3* db, int code)
{
    if (code == SQLITE_BUSY || code == SQLITE_LOCKED) {
        return "index is busy";
    }
    return db != nullptr && sqlite3_errcode(db) == code ? sqlite3_errmsg(db) : sqlite3_errstr(code);
}

// `path` as an SQLite URI that opens it immutable: every byte but the unreserved ones
// escaped, so that no "?", "#" or "%" in a name is taken for the URI's own.
std::string immutable_uri(const std::string& path)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '-' ||
                                c == '_' || c == '~';
        if (unreserved) {
            uri += c;
        } else {
            uri += '%';
            uri += digits[byte >> 4U];
            uri += digits[byte & 0xFU];
        }
    }
    return uri + "?immutable=1";
}

}  // namespace

Database::Database(const std::string& path, int flags, bool immutable)
{
    sqlite3* db = nullptr;
    const int code = immutable ? sqlite3_open_v2(immutable_uri(path).c_str(), &db,
                                                 flags | SQLITE_OPEN_URI, nullptr)
                               : sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    db_.reset(db);  // closed even when the open failed
    if (code != SQLITE_OK) {
        throw index_error("cannot open the index " + path + ": " + message_of(db, code));
    }
    // A reader may meet a writer's checkpoint: wait a while rather than fail.
    sqlite3_busy_timeout(db, 5000);
}

void Database::execute(const char* sql)
{
    check(sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr));
}

Statement Database::prepare(const char* sql)
{
    sqlite3_stmt* statement = nullptr;
    check(sqlite3_prepare_v2(db_.get(), sql, -1, &statement, nullptr));
    return {*this, statement};
}

void Database::check(int code, int expected) const
{
    if (code != expected && code != SQLITE_OK) {
        throw index_error(message_of(db_.get(), code));
    }
}

Statement& Statement::bind(int index, std::int64_t value)
{
    db_->check(sqlite3_bind_int64(statement_.get(), index, value));
    return *this;
}

Statement& Statement::bind(int index, double value)
{
    db_->check(sqlite3_bind_double(statement_.get(), index, value));
    return *this;
}

Statement& Statement::bind(int index, std::string_view text)
{
    db_->check(sqlite3_bind_text64(statement_.get(), index, text.data(), text.size(),
                                   SQLITE_TRANSIENT, SQLITE_UTF8));
    return *this;
}

Statement& Statement::bind_blob(int index, std::string_view bytes)
{
    db_->check(
        sqlite3_bind_blob64(statement_.get(), index, bytes.data(), bytes.size(), SQLITE_TRANSIENT));
    return *this;
}

Statement& Statement::bind_null(int index)
{
    db_->check(sqlite3_bind_null(statement_.get(), index));
    return *this;
}

bool Statement::step()
{
    const int code = sqlite3_step(statement_.get());
    if (code == SQLITE_ROW) {
        return true;
    }
    db_->check(code, SQLITE_DONE);
    return false;
}

void Statement::run()
{
    step();
    reset();
}

void Statement::reset()
{
    sqlite3_reset(statement_.get());
    sqlite3_clear_bindings(statement_.get());
}

bool Statement::is_null(int column) const
{
    return sqlite3_column_type(statement_.get(), column) == SQLITE_NULL;
}

std::int64_t Statement::integer(int column) const
{
    return sqlite3_column_int64(statement_.get(), column);
}

double Statement::real(int column) const
{
    return sqlite3_column_double(statement_.get(), column);
}

std::string Statement::text(int column) const
{
    return std::string(view(column));
}

std::string_view Statement::blob(int column) const
{
    const void* bytes = sqlite3_column_blob(statement_.get(), column);
    const int size = sqlite3_column_bytes(statement_.get(), column);
    return bytes == nullptr
               ? std::string_view()
               : std::string_view(static_cast<const char*>(bytes), static_cast<std::size_t>(size));
}

std::string_view Statement::view(int column) const
{
    const auto* bytes = sqlite3_column_text(statement_.get(), column);
    const int size = sqlite3_column_bytes(statement_.get(), column);
    return bytes == nullptr ? std::string_view()
                            : std::string_view(reinterpret_cast<const char*>(bytes),
                                               static_cast<std::size_t>(size));
}

Transaction::Transaction(Database& db) : db_(db)
{
    db_.execute("BEGIN IMMEDIATE");
}

Transaction::~Transaction()
{
    if (open_) {
        sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void Transaction::commit()
{
    db_.execute("COMMIT");
    open_ = false;
}

ReadTransaction::ReadTransaction(Database& db) : db_(db)
{
    db_.execute("BEGIN");
}

ReadTransaction::~ReadTransaction()
{
    sqlite3_exec(db_.get(), "COMMIT", nullptr, nullptr, nullptr);  // it wrote nothing
}

}  // namespace music_library::detail
