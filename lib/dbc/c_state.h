/*
 * c_state.h: the API state: the API record tdb_info with the client
 * resources, transactions, servers and sessions, and the debug word
 * TDB_DEBUG. Internal to the tdb API (lib/dbc).
 */
#ifndef C_STATE_H
#define C_STATE_H

#include <bitset>
#include <string>
#include <vector>

#include "qpd_dd.h"
#include "tdb_commu.h"

struct STREAM;
struct dd_server;
struct tdb_server;
struct tdb_trans;

/* Debug switches (TDB_DEBUG), tested bit by bit. */
#define TDB_DEBUG_TREE 1      /* server/session tree at schedule and attach */
#define TDB_DEBUG_COMMU 2     /* every request and reply; transaction reuse */
#define TDB_DEBUG_DLOCK 4     /* delayed locks */
#define TDB_DEBUG_REFS 8      /* referential-integrity errors */
#define TDB_DEBUG_PERMS 64    /* permissions */
#define TDB_DEBUG_CLOSE 128   /* tdb_close */
inline int TDB_DEBUG = 0;

/* Highest transaction id; ids run from 1, 0 means no transaction. */
#define TDB_MAX_TRANS 255

/* Detail error of a transaction, from a 520 reply. */
struct tdb_detail_error {
    int code = 0;
    char table[8] = {0};
    unsigned short number = 0;
    std::string text;
};

struct tdb_handle;
struct tdb_instance;
struct tdb_table_key;
struct tdb_duplicate;
struct tdb_ref_cursor;
struct tdb_table_use;
struct tdb_session;

/* Cursor marks: a valid cursor carries TDB_CURSOR_VALID, a closed one 0. */
#define TDB_CURSOR_VALID 255

/*
 * A company cursor: one per handle, company and serving driver (c_open.cpp,
 * c_close.cpp). The first of a company is the primary, the others are its
 * copies (copy flag 1). Like every record of this file it is allocated with
 * std::make_unique and released into its lists; whoever unlinks it for good
 * frees it with std::unique_ptr.
 */
struct tdb_cursor_use {
    tdb_cursor_use *next = nullptr;      /* in its table record's open or parked list */
    tdb_cursor_use *next_copy = nullptr; /* the company's cursors on the other drivers */
    tdb_table_use *table = nullptr;      /* its table record */
    tdb_instance *instance = nullptr;    /* shared by the primary and its copies */
    unsigned char mark = 0;              /* TDB_CURSOR_VALID, 0 once closed */
    unsigned char copy = 0;              /* 1 for a copy cursor */
    unsigned char attached = 0;          /* tdb_attach_cursor checked it */
    tdb_cursor_use *next_of_handle = nullptr; /* the handle's company cursors */
    tdb_cursor_use *next_audit = nullptr;     /* the instance's audit cursors */
    tdb_cursor_use *primary = nullptr;   /* copies and audit cursors: their primary */
    tdb_handle *handle = nullptr;        /* primaries: the handle that holds it */
    int compnr = 0;                      /* physical company number */
};

/* Pending update actions in a table record (flags). */
#define TDB_TABLE_PENDING 4

/* A table in use in a session, per table key (table and physical company),
 * with its open and its parked cursors. */
struct tdb_table_use {
    tdb_table_use *next = nullptr;
    char name[9] = {0};
    const void *dd_entry = nullptr;   /* the table's dictionary entry */
    tdb_cursor_use *cursors = nullptr;  /* open cursors */
    tdb_session *session = nullptr;
    tdb_table_key *key = nullptr;
    tdb_cursor_use *parked = nullptr;   /* closed, waiting for the updates to go */
    int flags = 0;                      /* TDB_TABLE_PENDING */
};

/*
 * A bind descriptor, made by tdb_open from a bind entry: where the
 * variable is, how many bytes pass, where the column lies in the row,
 * the classes of column and variable (a type code reduced to its class:
 * TDB_ENUM to 1; TDB_DATE, TDB_TIME, TDB_TEXT, TDB_LONG_V and TDB_SET to
 * 3; others stay), the element count and, for float and double columns,
 * the domain's digits after the point and its rounding mode (RN).
 */
struct tdb_bind_desc {
    void *address = nullptr;
    unsigned short length = 0;       /* transfer length */
    unsigned short offset = 0;       /* row offset */
    unsigned char col_class = 0;
    unsigned char var_class = 0;
    unsigned char elements = 0;
    unsigned char digits = 0;
    unsigned char round_mode = 0;
};

/* An open table handle of a transaction (tdb_open). */
struct tdb_handle {
    tdb_handle *next = nullptr;
    tdb_cursor_use *cursors = nullptr;  /* one primary per company used */
    const _dd_table *table = nullptr;
    tdb_trans *trans = nullptr;
    void *row = nullptr;                /* the program's row buffer (no binds) */
    std::vector<tdb_bind_desc> binds;   /* bind descriptors */
    const tdb_bind_desc *compnr_bind = nullptr; /* the bind of _compnr, if any */
    long nr_binds = 0;
    unsigned short default_compnr = 0;  /* 65535: none */
};

struct tdb_session {
    tdb_session *next_in_trans = nullptr;
    tdb_session *next_in_server = nullptr;
    tdb_trans *trans = nullptr;
    tdb_server *server = nullptr;
    tdb_table_use *tables = nullptr;  /* each with its parked cursors */
    tdb_ref_cursor *ref_cursors = nullptr; /* shared reference cursors */
    long driver_session = 0;      /* from the attach-session reply */
    unsigned char idle = 0;
    long session_id = 0;
};

struct tdb_trans {
    tdb_trans *next = nullptr;
    tdb_session *sessions = nullptr;
    int id = 0;
    char name[16] = {0};
    tdb_detail_error detail;
    int active = 0;
    long audit_trans[3] = {0, 0, 0};
    std::vector<commu_audit_entry> audit_entries;
    tdb_handle *handles = nullptr;    /* open table handles */
    int query_timeout = 0;            /* default query timeout */
    int start_time = 0;               /* 0 until first asked for */
    long upd_seq = 0;                 /* last sequence number of a buffered action */
};

struct tdb_server {
    tdb_server *next = nullptr;
    tdb_session *sessions = nullptr;
    long max_sessions = 0;
    long nr_sessions = 0;
    long driver_pid = 0;
    /* Driver definition: type, name and argument string (arguments
     * separated by byte 1). */
    int driver_type = 0;
    std::string driver_name;
    std::string driver_args;
    const dd_server *driver = nullptr; /* the dictionary's record, when known */
    /* The server list this server was made for: its
     * alternative driver definitions in order. */
    dd_server_choice choice{};
    STREAM *rd = nullptr;               /* both null: not activated */
    STREAM *wr = nullptr;
    long level_flags = 0;
    unsigned char idle_limit = 0;
    unsigned char idle = 0;
    long host_id = 0;
    long server_id = 0;
    long sql_protocol = 0;
    /* Called by the channels when the driver dies. */
    void (*death_handler)(void) = nullptr;
};

/* Starts a driver: fills the two streams of its channel; 0 or -1. */
typedef int (*tdb_driver_starter)(tdb_server *server, STREAM **rd, STREAM **wr);

/* The client resources, each in its own field (see client_resources in
 * c_top.cpp for names and defaults). */
struct tdb_client_res {
    int ssts_set_rows = -1;
    int tdb_max_server_schedule = -1;
    int rds_full = 5;
    int tt_sql_trace = 0;
    int use_shm_info = 1;
    int tdb_debug = 0;
    char *tdb_driver = nullptr;       /* a heap copy, never freed */
    int dbcinit = -1;
    int audit_per_compnr = 0;
    int trel_sql_trace = 0;
    int trel_sql_stmt_cache_size = -1;
    int trel_sql_cacherows = -1;
    int trel_sql_soft_close_delay = -1;
};

/* The API record. */
struct tdb_info_rec {
    int logged_on = 0;
    char client[9] = {0};
    /* Transaction ids in use (bits 1..255). */
    std::bitset<TDB_MAX_TRANS + 1> trans_in_use;
    tdb_server *servers = nullptr;       /* newest first */
    tdb_trans *transactions = nullptr;   /* newest first */
    tdb_duplicate *duplicates = nullptr;  /* table-duplication records */
    tdb_table_key *table_keys = nullptr;  /* one per table and physical company */
    unsigned char server_idle_limit = 0;
    int references_disabled = 0;
    /* The function the channels of each new server call when the driver
     * dies (server_death unless set). */
    void (*server_death_handler)(void) = nullptr;
    /* The profiling callback; logon resets it. */
    void (*profile_callback)(void) = nullptr;
    /* Roles sent to every driver (request 9). */
    std::vector<commu_role> roles;
    /* Audit columns sent to every driver (request 14) while in use. */
    int auditcols_in_use = 0;
    long auditcols_id = 0;
    std::vector<commu_auditcol> auditcols;
    /* Starts the driver of a server; tdb_attach_server calls it for a
     * server without a channel. Null means dbc_start_driver (the channel
     * layer's attach_process or DB_MANUAL); tests install fakes. */
    tdb_driver_starter start_driver = nullptr;
    /* The SQL engine's packet handler of request 10: 0 or -1. */
    int (*sql_packet_handler)(const unsigned char *bytes, long length) = nullptr;
    /* The checkpoint timing log: receives a name ("db.%d" with the process
     * id) and the text of each exchange; null records nothing. */
    void (*checkpoint)(const char *name, const char *text) = nullptr;
    /* The process-wide counters of server and session ids. */
    long last_server_id = 0;
    long last_session_id = 0;
};
inline tdb_info_rec tdb_info;

/* The client resources as loaded at logon. */
inline tdb_client_res tdb_res;

#endif
