/*
 * driver.cpp: the request loop of the database driver program: sessions,
 * the received dictionaries (kept in the storage's catalog) and company
 * map, the 513 and 519 complaints, and the answer to every request kind.
 */
#include "driver.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "al_log.h"
#include "compnr.h"
#include "qp_rds.h"
#include "tdb_api.h"
#include "tss.h"

namespace tdbdriver {

namespace {

constexpr const char *kFile = "servers/DRIVER/driver.cpp";
constexpr const char *kComponent = "tdb_driver";

/* A table code as received: 1 to 8 letters, digits or underscores. */
bool valid_table_name(const std::string &table)
{
    if (table.empty() || table.size() > 8)
        return false;
    for (char ch : table)
        if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '_')
            return false;
    return true;
}

/* The name with its first letter in upper case: the new dictionary. */
std::string new_dictionary_name(std::string table)
{
    if (!table.empty())
        table[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(table[0])));
    return table;
}

/* Two names of the same table code, in either dictionary. */
bool same_code(const std::string &a, const std::string &b)
{
    if (a.size() != b.size() || a.empty())
        return false;
    return std::tolower(static_cast<unsigned char>(a[0])) ==
               std::tolower(static_cast<unsigned char>(b[0])) &&
           a.compare(1, std::string::npos, b, 1, std::string::npos) == 0;
}

/* The bytes of a description as they travel in request 8. */
bool encode_description(const commu_dd_desc &dd, std::vector<unsigned char> *out)
{
    STREAM *sp = sopenVariableByteArray("w", 0, 0);
    if (sp == nullptr)
        return false;
    bool ok = commu_write_dd_desc(sp, &dd) == 0;
    void *base = nullptr;
    long length = 0;
    ok = ok && getByteArrayProperties(sp, &base, &length) == 0;
    if (ok)
        out->assign(static_cast<unsigned char *>(base), static_cast<unsigned char *>(base) + length);
    sclose(sp);
    return ok;
}

bool decode_description(const std::vector<unsigned char> &bytes, commu_dd_desc *dd)
{
    std::vector<unsigned char> copy = bytes;
    copy.push_back(0); /* an address even for no bytes */
    STREAM *sp = sopenFixedByteArray(copy.data(), static_cast<long>(bytes.size()), "r");
    if (sp == nullptr)
        return false;
    bool ok = commu_read_dd_desc(sp, dd) == 0;
    sclose(sp);
    return ok;
}

std::string table_of(const commu_dd_desc &dd)
{
    return std::string(dd.table, strnlen(dd.table, 8));
}

/* The catalog entry of a definition (false when it cannot be encoded). */
bool catalog_entry_of(const commu_dd_desc &dd, CatalogEntry *entry)
{
    entry->table = table_of(dd);
    entry->compnr = dd.compnr;
    entry->columns = static_cast<int>(dd.columns.size());
    entry->indexes = static_cast<int>(dd.indexes.size());
    entry->column_list.clear();
    for (const commu_dd_column &c : dd.columns) {
        if (!entry->column_list.empty())
            entry->column_list += ",";
        entry->column_list += c.name + ":" + std::to_string(c.type) + ":" + std::to_string(c.length);
    }
    return encode_description(dd, &entry->description);
}

} // namespace

Driver::Driver(std::string name) : name_(std::move(name)) {}

Driver::~Driver()
{
    compnrMapFree(compnr_map_);
}

Step Driver::serve_one(STREAM *in, STREAM *out)
{
    commu_block blk;
    if (commu_read_request(in, &blk) != 0) {
        log_mesg(kFile, __LINE__, kComponent, 0,
                 "Unreadable request of kind %d from the client: the driver stops", blk.kind);
        return Step::Garbled;
    }
    if (blk.kind == COMMU_SEND_COMPNR)
        return company_map(in, out);
    answer(&blk);
    if (commu_write_reply(out, &blk) != 0 || sflush(out) != 0) {
        log_mesg(kFile, __LINE__, kComponent, 0, "Cannot write the reply to request %d", blk.kind);
        return Step::Garbled;
    }
    return blk.kind == COMMU_DET_SERVER ? Step::Detached : Step::Next;
}

void Driver::answer(commu_block *blk)
{
    blk->retval = 0;
    switch (blk->kind) {
    case COMMU_ATT_SERVER:
        attach_server(blk);
        break;
    case COMMU_DET_SERVER:
        break;
    case COMMU_ATT_SESSION:
        attach_session(blk);
        break;
    case COMMU_DET_SESSION:
        if (sessions_.erase(blk->session) == 0)
            blk->retval = kInvalidSession;
        else if (storage_)
            storage_->close_session(blk->session);
        break;
    case COMMU_EXE_TABLE:
        table_action(blk);
        break;
    case COMMU_EXE_DB:
        database_action(blk);
        break;
    case COMMU_EXE_SESSION:
        session_request(blk);
        break;
    case COMMU_EXE_SYSTEM:
        system_request(blk);
        break;
    case COMMU_DD_INFO_TABLE:
        store_dictionary(blk);
        break;
    case COMMU_PERMISSION:
        roles_ = blk->roles;
        blk->retval = lacks_company_map() ? E_COMMU_COMPNR : 0;
        break;
    case COMMU_AUDITCOLS:
        auditcols_id_ = blk->auditcols_id;
        auditcols_ = blk->auditcols;
        blk->retval = lacks_company_map() ? E_COMMU_COMPNR : 0;
        break;
    case COMMU_SQL_MESSAGE:
        /* The reply has no return code: an empty packet answers. */
        log_mesg(kFile, __LINE__, kComponent, 0,
                 "SQL packets are not available in this driver yet (%ld bytes ignored)",
                 blk->msg_len);
        blk->answer = nullptr;
        blk->answer_len = 0;
        break;
    case COMMU_EXE_UPDATE:
        buffered_updates(blk);
        break;
    case COMMU_EXE_ROW:
        row_action(blk);
        break;
    case COMMU_ALTER_TABLE:
        alter_table(blk);
        break;
    default:
        blk->retval = kIllegalArgument;
        break;
    }
}

void Driver::attach_server(commu_block *blk)
{
    blk->max_sessions = kMaxSessions;
    blk->driver_pid = static_cast<long>(::getpid());
    blk->level_flags = TssGetMode() == 2 ? COMMU_LEVEL_UNICODE : 0;
    blk->reply_sql_protocol = COMMU_SQL_PROTOCOL;
    blk->idle_limit = kSessionIdleLimit;
    compnr_env_ = blk->compnr_env;
    if (blk->sql_protocol != COMMU_SQL_PROTOCOL) {
        log_mesg(kFile, __LINE__, kComponent, 0,
                 "Client '%s' speaks SQL protocol %ld, this driver %d", blk->client_name.c_str(),
                 blk->sql_protocol, COMMU_SQL_PROTOCOL);
        blk->retval = E_COMMU_VERSION;
        return;
    }
    /* Without the initialisation request the driver is its logical name. */
    if (!ensure_storage(driver_.empty() ? name_ : driver_, args_)) {
        blk->retval = kDatabaseNotOn;
        return;
    }
    blk->retval = lacks_company_map() ? E_COMMU_COMPNR : 0;
}

void Driver::attach_session(commu_block *blk)
{
    if (static_cast<long>(sessions_.size()) >= kMaxSessions) {
        log_mesg(kFile, __LINE__, kComponent, 0, "Maximum number of sessions (%ld) reached",
                 kMaxSessions);
        blk->session = 0;
        blk->retval = kNoResource;
        return;
    }
    /* Ids are never reused within one run of the driver. */
    blk->session = next_session_++;
    sessions_[blk->session].trans_name = blk->trans_name;
    if (storage_)
        storage_->open_session(blk->session);
    blk->retval = lacks_company_map() ? E_COMMU_COMPNR : 0;
}

void Driver::session_request(commu_block *blk)
{
    blk->answer = nullptr;
    blk->answer_len = 0;
    auto it = sessions_.find(blk->session);
    if (it == sessions_.end()) {
        blk->retval = kInvalidSession;
        return;
    }
    if (blk->code == 2 && blk->msg != nullptr) { /* the transaction's new name */
        it->second.trans_name.assign(reinterpret_cast<const char *>(blk->msg),
                                     static_cast<size_t>(blk->msg_len));
        return;
    }
    log_mesg(kFile, __LINE__, kComponent, 0, "Unknown session request code %ld", blk->code);
    blk->retval = kIllegalArgument;
}

void Driver::system_request(commu_block *blk)
{
    static std::string answer_text; /* lives until the reply is written */
    const auto *msg = blk->msg;
    long len = blk->msg_len;
    blk->answer = nullptr;
    blk->answer_len = 0;
    switch (blk->code) {
    case 1: /* tracing control text */
        if (msg != nullptr)
            trace_text_.assign(reinterpret_cast<const char *>(msg), static_cast<size_t>(len));
        break;
    case 5: /* start of the conversation: a 4-byte word */
        if (len != 4)
            blk->retval = kIllegalArgument;
        break;
    case 6: { /* length of the driver name, the name, the argument string */
        if (msg == nullptr || len < 1 || msg[0] == 0 || 1 + static_cast<long>(msg[0]) > len) {
            blk->retval = kIllegalArgument;
            break;
        }
        size_t n = msg[0];
        driver_.assign(reinterpret_cast<const char *>(msg + 1), n);
        args_.assign(reinterpret_cast<const char *>(msg + 1 + n), static_cast<size_t>(len) - 1 - n);
        if (!ensure_storage(driver_, args_))
            blk->retval = kDatabaseNotOn;
        break;
    }
    case 8: { /* forget a table's definitions */
        if (msg == nullptr || len <= 0) {
            blk->retval = kIllegalArgument;
            break;
        }
        const char *text = reinterpret_cast<const char *>(msg);
        std::string table(text, strnlen(text, static_cast<size_t>(len)));
        while (!table.empty() && table.back() == ' ')
            table.pop_back();
        if (!valid_table_name(table)) {
            blk->retval = kIllegalArgument;
            break;
        }
        for (auto it = tables_.begin(); it != tables_.end();)
            it = same_code(it->first.first, table) ? tables_.erase(it) : std::next(it);
        for (auto it = layouts_.begin(); it != layouts_.end();)
            it = same_code(it->first.first, table) ? layouts_.erase(it) : std::next(it);
        std::string error;
        if (storage_ && !storage_->forget_definitions(table, &error)) {
            log_mesg(kFile, __LINE__, kComponent, 0, "%s", error.c_str());
            blk->retval = storage_failure(kDatabaseNotOn);
        }
        break;
    }
    case 9: { /* system information: a 4-byte item number */
        if (msg == nullptr || len != 4) {
            blk->retval = kIllegalArgument;
            break;
        }
        long item = (long(msg[0]) << 24) | (long(msg[1]) << 16) | (long(msg[2]) << 8) | msg[3];
        if (item == 1)
            answer_text = storage_ ? storage_->describe() : "";
        else if (item == 2)
            answer_text = driver_.empty() ? name_ : driver_;
        else if (item == 3)
            answer_text = std::to_string(tables_.size());
        else {
            blk->retval = kIllegalArgument;
            break;
        }
        blk->answer = reinterpret_cast<const unsigned char *>(answer_text.c_str());
        blk->answer_len = static_cast<long>(answer_text.size());
        break;
    }
    default:
        log_mesg(kFile, __LINE__, kComponent, 0, "Unknown system request code %ld", blk->code);
        blk->retval = kIllegalArgument;
        break;
    }
}

void Driver::store_dictionary(commu_block *blk)
{
    if (!session_known(blk->session)) {
        blk->retval = kInvalidSession;
        return;
    }
    std::string table = table_of(blk->dd);
    if (!valid_table_name(table) || blk->dd.compnr > 999) {
        blk->retval = kIllegalArgument;
        return;
    }
    if (!ensure_storage(driver_.empty() ? name_ : driver_, args_)) {
        blk->retval = kDatabaseNotOn;
        return;
    }
    CatalogEntry entry;
    std::string error;
    if (!catalog_entry_of(blk->dd, &entry)) {
        blk->retval = kMemory;
        return;
    }
    if (!storage_->save_definition(entry, &error)) {
        log_mesg(kFile, __LINE__, kComponent, 0, "%s", error.c_str());
        blk->retval = storage_failure(kDatabaseNotOn);
        return;
    }
    tables_[{table, entry.compnr}] = blk->dd;
    layouts_.erase({table, entry.compnr});
}

Step Driver::company_map(STREAM *in, STREAM *out)
{
    CompnrMap *map = nullptr;
    commu_block blk;
    blk.kind = COMMU_SEND_COMPNR;
    if (compnrReadMap(in, &map) != 0) {
        if (tdb_errno == E_COMMU_ILLEGAL_STATE) {
            log_mesg(kFile, __LINE__, kComponent, 0,
                     "Unreadable company-number map from the client: the driver stops");
            return Step::Garbled;
        }
        /* The whole body was read; the mapping itself is refused. */
        log_mesg(kFile, __LINE__, kComponent, 0, "Company-number map refused (error %d)",
                 tdb_errno);
        blk.retval = tdb_errno;
    } else {
        compnrMapFree(compnr_map_);
        compnr_map_ = map;
        if (lacks_company_map()) {
            log_mesg(kFile, __LINE__, kComponent, 0,
                     "Company-number map of environment '%s' received, '%s' announced",
                     compnrMapGetEnv(map), compnr_env_.c_str());
            blk.retval = E_COMMU_COMPNR;
        }
    }
    if (commu_write_reply(out, &blk) != 0 || sflush(out) != 0)
        return Step::Garbled;
    return Step::Next;
}

void Driver::not_available(commu_block *blk, const char *what)
{
    log_mesg(kFile, __LINE__, kComponent, 0,
             "Request %d (%s) is not available in this driver yet: answered %ld", blk->kind, what,
             kNotAvailable);
    blk->retval = kNotAvailable;
}

bool Driver::ensure_storage(const std::string &driver, const std::string &args)
{
    if (storage_)
        return true;
    std::string error;
    std::unique_ptr<Storage> storage = make_storage(driver, args, &error);
    std::vector<CatalogEntry> catalog;
    if (!storage || !storage->open(&error) || !storage->load_catalog(&catalog, &error)) {
        if (error != storage_error_) /* report each reason once */
            log_mesg(kFile, __LINE__, kComponent, 0, "%s", error.c_str());
        storage_error_ = error;
        return false;
    }
    for (const CatalogEntry &e : catalog) {
        commu_dd_desc dd;
        if (!decode_description(e.description, &dd) || table_of(dd) != e.table) {
            log_mesg(kFile, __LINE__, kComponent, 0,
                     "Catalog entry %s%03d cannot be read: the client will send it again",
                     e.table.c_str(), e.compnr);
            continue;
        }
        tables_[{e.table, e.compnr}] = std::move(dd);
    }
    storage_ = std::move(storage);
    return true;
}

long Driver::storage_failure(long fallback) const
{
    long code = storage_ ? storage_->failure_code() : 0;
    return code != 0 ? code : fallback;
}

bool Driver::session_known(long id) const
{
    return sessions_.count(id) != 0;
}

bool Driver::lacks_company_map() const
{
    if (compnr_env_.empty())
        return false;
    return compnr_map_ == nullptr || compnr_env_ != compnrMapGetEnv(compnr_map_);
}

void Driver::need_table(commu_block *blk, const std::string &table, int compnr) const
{
    if (tables_.count({table, compnr}) != 0)
        return;
    for (const commu_missing_dd &m : blk->missing)
        if (table == m.table && compnr == m.compnr)
            return;
    commu_missing_dd m{};
    std::strncpy(m.table, table.c_str(), 8);
    m.compnr = compnr;
    blk->missing.push_back(m);
}

bool Driver::check_table_request(commu_block *blk, const std::string &table, int compnr,
                                 bool with_new)
{
    if (!session_known(blk->session)) {
        blk->retval = kInvalidSession;
        return true;
    }
    if (!valid_table_name(table)) {
        blk->retval = kIllegalArgument;
        return true;
    }
    if (compnr < 0 || compnr > 999 || lacks_company_map()) {
        blk->retval = E_COMMU_COMPNR;
        return true;
    }
    need_table(blk, table, compnr);
    if (with_new)
        need_table(blk, new_dictionary_name(table), compnr);
    if (!blk->missing.empty()) {
        blk->retval = E_COMMU_DD_MISSING;
        return true;
    }
    return false;
}

/* ---- table data ------------------------------------------------------------ */

namespace {

const char *table_action_name(long number)
{
    const char *name = tdb_table_action(static_cast<int>(number));
    return name != nullptr && *name ? name : "?";
}

long get_be(const unsigned char *p, int width)
{
    if (width == 1)
        return p[0];
    if (width == 2)
        return static_cast<short>((p[0] << 8) | p[1]);
    return static_cast<long>(static_cast<std::int32_t>((std::uint32_t(p[0]) << 24) |
                                                       (std::uint32_t(p[1]) << 16) |
                                                       (std::uint32_t(p[2]) << 8) | p[3]));
}

void put_be(unsigned char *p, int width, long v)
{
    auto u = static_cast<std::uint32_t>(v);
    for (int i = width - 1; i >= 0; i--, u >>= 8)
        p[i] = static_cast<unsigned char>(u & 0xFF);
}

/* The reference counters of a table: (column, is the u counter). */
std::vector<std::pair<const LayoutColumn *, bool>> counters_of(const TableLayout &t)
{
    std::vector<std::pair<const LayoutColumn *, bool>> out;
    for (const LayoutColumn &c : t.columns()) {
        std::string n = c.name;
        for (char &ch : n)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        if ((n == "refcntu" || n == "refcntd") && c.kind == Kind::Integer && c.width != 8)
            out.emplace_back(&c, n.back() == 'u');
    }
    return out;
}

} // namespace

/* The layout of the table a table or row request names; null after
 * answering the request (512 for a definition the database cannot hold,
 * 510 without a database) and logging why. */
const TableLayout *Driver::served_layout(commu_block *blk)
{
    std::string error;
    const TableLayout *t = storage_ ? layout_for(blk->table, blk->compnr, &error) : nullptr;
    if (t == nullptr) {
        log_mesg(kFile, __LINE__, kComponent, 0, "Table %s%03d cannot be served: %s",
                 blk->table.c_str(), blk->compnr, storage_ ? error.c_str() : "no database");
        blk->retval = storage_ ? E_COMMU_DD_CORRUPT : kDatabaseNotOn;
    }
    return t;
}

const TableLayout *Driver::layout_for(const std::string &table, int compnr, std::string *error)
{
    auto it = layouts_.find({table, compnr});
    if (it != layouts_.end())
        return &it->second;
    auto dd = tables_.find({table, compnr});
    if (dd == tables_.end()) {
        *error = "no definition of " + table;
        return nullptr;
    }
    TableLayout layout;
    if (!layout.build(dd->second, compnr, error))
        return nullptr;
    return &layouts_.emplace(TableKey{table, compnr}, std::move(layout)).first->second;
}

void Driver::table_action(commu_block *blk)
{
    blk->result = 0;
    if (check_table_request(blk, blk->table, blk->compnr))
        return;
    const TableLayout *t = served_layout(blk);
    if (t == nullptr)
        return;
    std::string error;
    const long s = blk->session;
    const long number = blk->action & 0xFF;
    long rc = kIllegalArgument;
    switch (number) {
    case 1:
        rc = storage_->create_index(s, *t, blk->arg, &error);
        break;
    case 2:
        rc = storage_->drop_index(s, *t, blk->arg, &error);
        break;
    case 4:
        rc = storage_->create_table(s, *t, &error);
        break;
    case 5:
        rc = storage_->clear_table(s, *t, &error);
        break;
    case 6:
        rc = storage_->drop_table(s, *t, &error);
        break;
    case 7:
        rc = storage_->lock_table(s, *t, &error);
        break;
    case 8: {
        long count = 0;
        rc = storage_->count_rows(s, *t, &count, &error);
        if (rc == 0)
            blk->result = count;
        break;
    }
    case 9:
        rc = storage_->clear_reference_counts(s, *t, &error);
        break;
    case 11:
        rc = storage_->start_import(s, *t, &error);
        break;
    case 12:
        rc = storage_->end_import(s, *t, &error);
        break;
    case 13:
        rc = storage_->update_statistics(s, *t, &error);
        break;
    default:
        error = "table action " + std::to_string(number) + " is not served by the driver";
        break;
    }
    blk->retval = rc;
    if (rc != 0)
        log_mesg(kFile, __LINE__, kComponent, 0, "Table action %s (%ld) on %s: %s (error %ld)",
                 table_action_name(number), number, t->table_name().c_str(), error.c_str(), rc);
}

void Driver::database_action(commu_block *blk)
{
    blk->audit_a = -1;
    if (!session_known(blk->session)) {
        blk->retval = kInvalidSession;
        return;
    }
    const long s = blk->session;
    const long number = blk->action & 0xFF;
    std::string error;
    long rc = 0;
    if (!storage_) {
        /* Nothing was done in a database that is not open. */
        blk->retval = number >= 1 && number <= 9 ? 0 : kIllegalArgument;
        return;
    }
    switch (number) {
    case 1: /* commit_trans */
    case 7: /* audit_commit_table_action */
        rc = storage_->commit(s, &error);
        break;
    case 3: /* abort_trans */
    case 8: /* audit_abort_table_action */
        rc = storage_->abort(s, &error);
        break;
    case 2: /* set_readonly */
        rc = storage_->set_readonly(s, &error);
        break;
    case 4: /* ERROR_prepare_commit */
    case 9: /* db_flush */
        break;
    case 5: /* trans_not_active */
        switch (storage_->transaction_state(s)) {
        case TransactionState::None:
            break;
        case TransactionState::Started:
            /* Started without updates: ended here, the client goes on. */
            storage_->abort(s, &error);
            rc = kStartedNotUpdated;
            break;
        case TransactionState::Updated:
            error = "the transaction holds updates";
            rc = kInTransaction;
            break;
        }
        break;
    case 6: /* start_transaction */
        rc = storage_->begin(s, &error);
        break;
    default:
        error = "database action " + std::to_string(number) + " is not served by the driver";
        rc = kIllegalArgument;
        break;
    }
    blk->retval = rc;
    if (rc != 0 && rc != kStartedNotUpdated)
        log_mesg(kFile, __LINE__, kComponent, 0, "Database action %ld of session %ld: %s (error %ld)",
                 number, s, error.c_str(), rc);
}

void Driver::buffered_updates(commu_block *blk)
{
    if (!session_known(blk->session)) {
        blk->retval = kInvalidSession;
        return;
    }
    Session &s = sessions_[blk->session];
    /* A resend after 513 carries no tables: the ones kept count. */
    if (!blk->updates.empty())
        s.pending = blk->updates;
    if (lacks_company_map()) {
        blk->retval = E_COMMU_COMPNR;
        return;
    }
    for (const commu_update_table &t : s.pending)
        need_table(blk, std::string(t.table, strnlen(t.table, 8)), t.compnr);
    if (!blk->missing.empty()) {
        blk->retval = E_COMMU_DD_MISSING;
        return;
    }
    std::vector<commu_update_table> updates = std::move(s.pending);
    s.pending.clear();
    blk->retval = apply_updates(blk, updates);
}

long Driver::apply_updates(commu_block *blk, const std::vector<commu_update_table> &updates)
{
    struct Action {
        long seq;
        long op;
        long flags;
        size_t table;
        std::vector<unsigned char> row;
    };
    std::vector<Action> actions;
    std::vector<const TableLayout *> layouts(updates.size(), nullptr);
    auto detail = [&](long code, const commu_update_table &u, const std::string &text) {
        blk->detail_code = static_cast<int>(code);
        std::memset(blk->detail_table, 0, sizeof blk->detail_table);
        std::memcpy(blk->detail_table, u.table, strnlen(u.table, 8));
        blk->detail_number = u.compnr;
        blk->detail_text = text;
        log_mesg(kFile, __LINE__, kComponent, 0,
                 "Buffered updates of session %ld failed on %.8s%03d: %s (error %ld)",
                 blk->session, u.table, u.compnr, text.c_str(), code);
        return static_cast<long>(E_COMMU_BUFFERED);
    };
    if (!storage_)
        return kDatabaseNotOn;
    /* Decode every store first: the actions run in sequence order across
     * the tables. */
    for (size_t i = 0; i < updates.size(); i++) {
        const commu_update_table &u = updates[i];
        std::string error;
        const TableLayout *t = layout_for(std::string(u.table, strnlen(u.table, 8)), u.compnr, &error);
        if (t == nullptr)
            return detail(E_COMMU_DD_CORRUPT, u, error);
        layouts[i] = t;
        if (u.bytes.empty())
            continue;
        std::vector<rds_col> cols = t->update_store_columns();
        const int rec_len = 12 + t->row_length();
        RDS_READER *reader = rds_reader_open(cols.data(), static_cast<int>(cols.size()), rec_len,
                                             u.bytes.data(), u.bytes.size());
        if (reader == nullptr)
            return detail(kIllegalState, u, "the update store cannot be read");
        std::vector<unsigned char> rec(static_cast<size_t>(rec_len));
        long count = 0;
        int rc;
        while ((rc = rds_reader_next(reader, rec.data())) == 0) {
            Action a;
            a.seq = get_be(rec.data(), 4);
            a.op = get_be(rec.data() + 4, 4);
            a.flags = get_be(rec.data() + 8, 4);
            a.table = i;
            a.row.assign(rec.begin() + 12, rec.end());
            actions.push_back(std::move(a));
            count++;
        }
        rds_reader_close(reader);
        if (rc != RDS_EOS)
            return detail(kIllegalState, u,
                          "the update store is damaged after " + std::to_string(count) + " rows");
        if (count != u.record_count)
            log_mesg(kFile, __LINE__, kComponent, 0,
                     "Update store of %.8s%03d: %ld rows announced, %ld read", u.table, u.compnr,
                     u.record_count, count);
    }
    std::stable_sort(actions.begin(), actions.end(),
                     [](const Action &a, const Action &b) { return a.seq < b.seq; });
    const long s = blk->session;
    for (Action &a : actions) {
        const TableLayout &t = *layouts[a.table];
        /* The row's company is the table's. */
        a.row[static_cast<size_t>(t.data_length()) + 4] = static_cast<unsigned char>(t.compnr() >> 8);
        a.row[static_cast<size_t>(t.data_length()) + 5] = static_cast<unsigned char>(t.compnr() & 0xFF);
        std::string error;
        long rc;
        switch (a.op) {
        case 1:
            rc = storage_->insert_row(s, t, a.row.data(), &error);
            if (rc == kDuplicate && (a.flags & 0x10))
                rc = 0; /* rows already present are tolerated */
            break;
        case 2:
            rc = storage_->delete_row(s, t, a.row.data(), &error);
            break;
        case 3:
            rc = storage_->update_row(s, t, a.row.data(), &error);
            break;
        case 4:
            rc = apply_refcount(s, t, a.row.data(), a.flags, &error);
            break;
        case 9:
            rc = storage_->clear_table(s, t, &error);
            break;
        case 10:
            rc = storage_->drop_table(s, t, &error);
            break;
        default:
            error = "buffered operation " + std::to_string(a.op) + " is not served by the driver";
            rc = kIllegalState;
            break;
        }
        if (rc == kNoRecord && (a.flags & 0x4))
            rc = 0;
        if (rc != 0)
            return detail(rc, updates[a.table],
                          "operation " + std::to_string(a.op) + " (sequence " +
                              std::to_string(a.seq) + "): " + error);
    }
    return 0;
}

long Driver::apply_refcount(long session, const TableLayout &t, const unsigned char *row,
                            long flags, std::string *error)
{
    std::vector<unsigned char> current(static_cast<size_t>(t.row_length()));
    std::string key = t.key_of_row(1, row);
    long rc = storage_->read_row(session, t, reinterpret_cast<const unsigned char *>(key.data()),
                                 key.size(), true, current.data(), error);
    if (rc != 0 || (flags & 0x300) == 0)
        return rc; /* without add or subtract: the row must exist */
    auto counters = counters_of(t);
    if (counters.empty()) {
        *error = "table " + t.table_name() + " has no reference counters";
        return kNoReferenceCounter;
    }
    for (const auto &[c, is_u] : counters) {
        if (!(flags & (is_u ? 0x400 : 0x800)))
            continue;
        long amount = get_be(row + c->offset, c->width);
        long value = get_be(current.data() + c->offset, c->width);
        value = (flags & 0x100) ? value + amount : value - amount;
        put_be(current.data() + c->offset, c->width, value);
    }
    return storage_->update_row(session, t, current.data(), error);
}

void Driver::row_action(commu_block *blk)
{
    blk->answer = nullptr;
    blk->answer_len = 0;
    if (check_table_request(blk, blk->table, blk->compnr))
        return;
    const TableLayout *t = served_layout(blk);
    if (t == nullptr)
        return;
    std::string error;
    const long number = blk->action & 0xFF;
    /* The locked forms carry the lock bit 0x1000 (14 db_eq(locked)). */
    const bool locked = (blk->action & 0x1000) != 0;
    static const unsigned char no_key = 0;
    row_reply_.assign(static_cast<size_t>(t->row_length()), 0);
    long rc = storage_->read_row(blk->session, *t, blk->msg ? blk->msg : &no_key,
                                 static_cast<size_t>(blk->msg_len), locked, row_reply_.data(),
                                 &error);
    if (rc == 0 && number >= 3 && number <= 6) {
        /* May the row be deleted (3, 5) or have its key changed (4, 6)?
         * Not while its counter of that kind is above 0. */
        bool update = number == 4 || number == 6;
        for (const auto &[c, is_u] : counters_of(*t))
            if (is_u == update && get_be(row_reply_.data() + c->offset, c->width) > 0) {
                error = "row of " + t->table_name() + " is referenced";
                rc = 605;
            }
    }
    blk->retval = rc;
    if (rc == 0 || rc == 605) {
        blk->answer = row_reply_.data();
        blk->answer_len = static_cast<long>(row_reply_.size());
    }
    if (rc != 0 && rc != kNoRecord)
        log_mesg(kFile, __LINE__, kComponent, 0, "Row action %ld on %s: %s (error %ld)", number,
                 t->table_name().c_str(), error.c_str(), rc);
}

} // namespace tdbdriver

namespace tdbdriver {

/* ---- alter table ------------------------------------------------------------ */

/*
 * Request 15: the stored table (checked against the database's own
 * description) against the new definition. The reply's return code is 0
 * or an error; its result the answer: 1 nothing differs in the database,
 * 0 changed (or to be changed) in place, 3 export, recreate and import.
 * Actions 2 and 3 make the change and store the new definition as the
 * table's current one.
 */
void Driver::alter_table(commu_block *blk)
{
    blk->result = 0;
    /* Altering needs the new definition as well. */
    if (check_table_request(blk, blk->table, blk->compnr, true))
        return;
    const TableLayout *from = served_layout(blk);
    if (from == nullptr)
        return;
    std::string error;
    const std::string new_name = new_dictionary_name(blk->table);
    const TableLayout *to = layout_for(new_name, blk->compnr, &error);
    long action = blk->action;
    auto fail = [&](long code, const std::string &why) {
        blk->retval = code;
        log_mesg(kFile, __LINE__, kComponent, 0, "Alter table %s (action %ld): %s (error %ld)",
                 from->table_name().c_str(), action, why.c_str(), code);
    };
    if (to == nullptr) {
        fail(E_COMMU_DD_CORRUPT, "the new definition cannot be served: " + error);
        return;
    }
    if (action < 1 || action > 3) {
        fail(kIllegalArgument, "unknown action");
        return;
    }
    if (blk->msg_len < to->data_length() || blk->msg == nullptr) {
        fail(kIllegalArgument, "a default row of " + std::to_string(blk->msg_len) +
                                   " bytes, the new definition's row has " +
                                   std::to_string(to->row_length()));
        return;
    }
    const long s = blk->session;
    const unsigned char *defaults = blk->msg;
    ColumnTypeOf type_of = [this](const LayoutColumn &c) { return storage_->column_type(c); };

    std::vector<StoredColumn> stored;
    long rc = storage_->describe_table(s, *from, &stored, &error);
    if (rc != kOk) {
        fail(rc, error);
        return;
    }
    /* The new definition as the table's current one for this company. */
    commu_dd_desc current = tables_.at({new_name, blk->compnr});
    std::memset(current.table, 0, sizeof current.table);
    std::strncpy(current.table, blk->table.c_str(), 8);
    CatalogEntry entry;
    if (!catalog_entry_of(current, &entry)) {
        fail(kMemory, "the definition cannot be encoded");
        return;
    }
    auto adopt = [&]() {
        tables_[{blk->table, blk->compnr}] = current;
        layouts_.erase({blk->table, blk->compnr});
    };

    if (!stored_matches(stored, *from, type_of)) {
        /* Already in the new form (an alter whose catalog entry was lost):
         * nothing to change but the catalog. */
        if (stored_matches(stored, *to, type_of)) {
            if (action != 1) {
                if (!storage_->save_definition(entry, &error)) {
                    fail(storage_failure(kIllegalState), error);
                    return;
                }
                adopt();
            }
            blk->result = 1;
            return;
        }
        fail(kIllegalState, "the stored table " + from->table_name() +
                                " does not have the columns of its definition");
        return;
    }

    AlterPlan plan = plan_alter(*from, *to, defaults, storage_->traits(), type_of);
    if (plan.needs_conversion) {
        log_mesg(kFile, __LINE__, kComponent, 0, "Alter table %s (action %ld): %s: answered 3",
                 from->table_name().c_str(), action, plan.why.c_str());
        blk->result = 3;
        return;
    }
    /* Rows kept as exact images need converting when the row buffer
     * changes; values of a narrowed column must fit. */
    bool images = false;
    bool unfit = false;
    std::string why;
    if (plan.row_layout_changed || plan.narrowing) {
        std::vector<unsigned char> converted(static_cast<size_t>(to->row_length()));
        rc = storage_->scan_rows(
            s, *from, !plan.narrowing,
            [&](const unsigned char *row, bool image) {
                images = images || image;
                if (plan.narrowing &&
                    !convert_row(*from, *to, plan, row, defaults, converted.data(), &why)) {
                    unfit = true;
                    return false;
                }
                return plan.narrowing; /* one image is enough to know */
            },
            &error);
        if (rc != kOk) {
            fail(rc, error);
            return;
        }
    }
    if (unfit) {
        log_mesg(kFile, __LINE__, kComponent, 0, "Alter table %s (action %ld): %s: answered 3",
                 from->table_name().c_str(), action, why.c_str());
        blk->result = 3;
        return;
    }
    bool identical = !plan.columns_changed && plan.drop_indexes.empty() &&
                     plan.create_indexes.empty() && !(plan.row_layout_changed && images);
    if (action == 1) {
        blk->result = identical ? 1 : 0;
        return;
    }
    if (identical) {
        if (!storage_->save_definition(entry, &error)) {
            fail(storage_failure(kIllegalState), error);
            return;
        }
        adopt();
        blk->result = 1;
        return;
    }
    long answer = 0;
    rc = storage_->alter_table(s, *from, *to, plan, defaults, entry, &answer, &error);
    if (rc != kOk) {
        fail(rc, error);
        return;
    }
    if (answer != 0) {
        log_mesg(kFile, __LINE__, kComponent, 0, "Alter table %s (action %ld): %s: answered %ld",
                 from->table_name().c_str(), action, error.c_str(), answer);
        blk->result = answer;
        return;
    }
    adopt();
    blk->result = 0;
}

} // namespace tdbdriver
