/*
 * driver.h: the request loop of the database driver program: sessions,
 * the received dictionaries and company map, and the answer to every
 * request kind of the driver exchange.
 */
#ifndef DRIVER_DRIVER_H
#define DRIVER_DRIVER_H

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "al_stream.h"
#include "storage.h"
#include "tdb_commu.h"

struct CompnrMap;

namespace tdbdriver {

/* Values of the attach reply and the code for what is not built yet. */
constexpr long kMaxSessions = 32;      /* sessions one driver serves */
constexpr int kSessionIdleLimit = 10;  /* idle rounds before the client drops one */
constexpr long kNotAvailable = E_COMMU_ILLEGAL_STATE; /* 215 */
constexpr long kIllegalArgument = 102;
constexpr long kInvalidSession = 518;
constexpr long kNoResource = 525;
constexpr long kDatabaseNotOn = 510;
constexpr long kMemory = 501;

/* What the loop does after one request. */
enum class Step {
    Next,      /* answered; read the next request */
    Detached,  /* the client detached the server: answered, stop */
    Garbled,   /* the request could not be read: stop without answer */
};

class Driver {
public:
    /* name: the logical name the driver was started under (argument 0). */
    explicit Driver(std::string name);
    ~Driver();
    Driver(const Driver &) = delete;
    Driver &operator=(const Driver &) = delete;

    /* Reads one request from in and writes its answer to out (flushed). */
    Step serve_one(STREAM *in, STREAM *out);

private:
    struct Session {
        std::string trans_name;
        /* Buffered updates kept for a resend after 513 (which carries no
         * tables). */
        std::vector<commu_update_table> pending;
    };
    using TableKey = std::pair<std::string, int>;

    /* Fills the reply of a request read into blk. */
    void answer(commu_block *blk);
    void attach_server(commu_block *blk);
    void attach_session(commu_block *blk);
    void system_request(commu_block *blk);
    void session_request(commu_block *blk);
    void store_dictionary(commu_block *blk);
    Step company_map(STREAM *in, STREAM *out);
    void not_available(commu_block *blk, const char *what);
    void table_action(commu_block *blk);
    void database_action(commu_block *blk);
    void buffered_updates(commu_block *blk);
    void row_action(commu_block *blk);
    void alter_table(commu_block *blk);
    /* Applies the update stores of a request; 0, or the first failure's
     * code with the detail error filled in. */
    long apply_updates(commu_block *blk, const std::vector<commu_update_table> &updates);
    long apply_refcount(long session, const TableLayout &t, const unsigned char *row,
                        long flags, std::string *error);

    /* The layout of a known definition (built once), or null with a reason. */
    const TableLayout *layout_for(const std::string &table, int compnr, std::string *error);
    const TableLayout *served_layout(commu_block *blk);

    bool ensure_storage(const std::string &driver, const std::string &args);
    /* The storage's own error number for its last failure (522 for a
     * lost connection), else fallback. */
    long storage_failure(long fallback) const;
    bool session_known(long id) const;
    bool lacks_company_map() const;
    /* Adds a missing-dictionary entry when the table is not known. */
    void need_table(commu_block *blk, const std::string &table, int compnr) const;
    /* The checks of a request naming a table: session (518), name (102),
     * company map (519), dictionaries (513, also the new dictionary's
     * with with_new). True when one of them answered the request. */
    bool check_table_request(commu_block *blk, const std::string &table, int compnr,
                             bool with_new = false);

    std::string name_;
    std::string driver_;      /* driver name of system request 6 */
    std::string args_;        /* its argument string */
    std::unique_ptr<Storage> storage_;
    std::string storage_error_;
    std::map<long, Session> sessions_;
    long next_session_ = 1;
    std::map<TableKey, commu_dd_desc> tables_;
    std::map<TableKey, TableLayout> layouts_;
    std::vector<unsigned char> row_reply_; /* row of a request 12 reply */
    std::string compnr_env_;  /* announced at attach */
    CompnrMap *compnr_map_ = nullptr;
    std::vector<commu_role> roles_;
    long auditcols_id_ = 0;
    std::vector<commu_auditcol> auditcols_;
    std::string trace_text_;
};

} // namespace tdbdriver

#endif
