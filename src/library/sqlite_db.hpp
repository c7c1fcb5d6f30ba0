#pragma once
// SQLite's C API, owned: a connection and its statements
// are released on every path, and every failure is an index_error.

#include <cstdint>      // std::int64_t
#include <memory>       // std::unique_ptr
#include <optional>     // std::optional
#include <string>       // std::string
#include <string_view>  // std::string_view

#include <sqlite3.h>

namespace music_library::detail {

class Statement;

class Database {
public:
    // Throws index_error when SQLite cannot open `path` with `flags`. An immutable
    // database is read as it is, without locks or WAL's shared memory: for files that
    // no one may write.
    Database(const std::string& path, int flags, bool immutable = false);

    // Runs statements that return no rows.
    void execute(const char* sql);
    Statement prepare(const char* sql);
    // Throws index_error with SQLite's message for `code`, unless it is `expected`.
    void check(int code, int expected = SQLITE_OK) const;
    sqlite3* get() const { return db_.get(); }

private:
    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };
    std::unique_ptr<sqlite3, Closer> db_;
};

// A prepared statement: bind from 1 on, step, read columns from 0 on.
class Statement {
public:
    Statement(Database& db, sqlite3_stmt* statement) : db_(&db), statement_(statement) {}

    Statement& bind(int index, std::int64_t value);
    Statement& bind(int index, double value);
    Statement& bind(int index, std::string_view text);  // stored as it is, bytes and all
    Statement& bind_blob(int index, std::string_view bytes);
    Statement& bind_null(int index);
    // True while there is a row; false when done.
    bool step();
    // Steps a statement that returns no rows, and makes it ready to run again.
    void run();
    void reset();

    bool is_null(int column) const;
    std::int64_t integer(int column) const;
    double real(int column) const;
    std::string text(int column) const;
    // The column's text, valid until the next step or reset.
    std::string_view view(int column) const;
    // The column's bytes as a blob, valid as view's.
    std::string_view blob(int column) const;

private:
    struct Finalizer {
        void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
    };
    Database* db_;
    std::unique_ptr<sqlite3_stmt, Finalizer> statement_;
};

// A write transaction, rolled back unless committed.
class Transaction {
public:
    explicit Transaction(Database& db);
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    Transaction(Transaction&&) = delete;
    Transaction& operator=(Transaction&&) = delete;
    ~Transaction();
    void commit();

private:
    Database& db_;
    bool open_ = true;
};

// A read transaction: the statements in it see one state of the database, whatever
// writers commit meanwhile.
class ReadTransaction {
public:
    explicit ReadTransaction(Database& db);
    ReadTransaction(const ReadTransaction&) = delete;
    ReadTransaction& operator=(const ReadTransaction&) = delete;
    ReadTransaction(ReadTransaction&&) = delete;
    ReadTransaction& operator=(ReadTransaction&&) = delete;
    ~ReadTransaction();

private:
    Database& db_;
};

}  // namespace music_library::detail
