/*
 * storage.h: what the driver needs from the database system behind it:
 * an abstract storage class, its catalog of received table definitions,
 * and the factory choosing an implementation by driver name.
 */
#ifndef DRIVER_STORAGE_H
#define DRIVER_STORAGE_H

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tdbdriver {

/*
 * One received table definition: the table name as the client sent it
 * (8 characters; a first letter in upper case is the new dictionary's
 * definition), the company number it was sent for, and the description
 * bytes of the dictionary request (the body after the session id).
 */
struct CatalogEntry {
    std::string table;
    int compnr = 0;
    std::vector<unsigned char> description;
    /* For people reading the catalog: the number of stored columns and
     * indexes, and the columns as "name:type:length" joined by ",". */
    int columns = 0;
    int indexes = 0;
    std::string column_list;
};

/*
 * A database system holding the driver's tables. Every call reports
 * failure with false and a text in *error (for the driver's log); none
 * throws.
 */
class Storage {
public:
    virtual ~Storage() = default;
    /* Opens (creating when missing) the database and its catalog. */
    virtual bool open(std::string *error) = 0;
    /* A short description: the database system, its version, the place. */
    virtual std::string describe() const = 0;
    /* Every definition in the catalog. */
    virtual bool load_catalog(std::vector<CatalogEntry> *out, std::string *error) = 0;
    /* Stores a definition, replacing one of the same table and company. */
    virtual bool save_definition(const CatalogEntry &entry, std::string *error) = 0;
    /* Removes the definitions of a table code in every company, in either
     * dictionary (the first letter compared without regard to case). */
    virtual bool forget_definitions(std::string_view table, std::string *error) = 0;
    /* The tdb error number of the last failure when it has one of its
     * own: 522 after the connection to a database server was lost; 0 when
     * the caller's code for the request applies. */
    virtual long failure_code() const { return 0; }
};

/* The error number of a lost connection to the database. */
constexpr long kConnectionLost = 522;

/*
 * The storage for a driver name and its argument string (arguments
 * separated by byte 1, as in the tabledef): names beginning with "sqlite"
 * get the SQLite storage, names beginning with "postgres" the PostgreSQL
 * storage; every other name gets null and a reason in *error.
 */
std::unique_ptr<Storage> make_storage(std::string_view driver, std::string_view args,
                                      std::string *error);

/* The SQLite database file for an argument string: the first argument,
 * "${TSE}" replaced by the root; a relative name lies under
 * "${TSE}/db"; without one "${TSE}/db/<driver>.db". */
std::string sqlite_database_path(std::string_view driver, std::string_view args);

/* The first argument of an argument string, blanks around it removed and
 * "${TSE}" replaced by the root. */
std::string expanded_first_argument(std::string_view args);

/* The PostgreSQL storage for a libpq connection string (key=value pairs or
 * a URI; empty: libpq's environment variables and defaults apply). */
std::unique_ptr<Storage> make_postgres_storage(std::string conninfo);

} // namespace tdbdriver

#endif
