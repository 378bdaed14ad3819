/*
 * tdb_commu.h: the messages between the tdb client and a database driver:
 * the request block, the request kinds, the byte layout of every request
 * and reply (one codec for both sides), and the action code tables.
 * Implemented in lib/dbc (c_commu_codec.cpp, c_commu.cpp).
 *
 * On the channel: byte, short (2 bytes big-endian), long (4 bytes
 * big-endian), string (characters and a NUL), block (raw bytes). There is
 * no frame around a message: both sides read exactly the listed fields.
 */
#ifndef TDB_COMMU_H
#define TDB_COMMU_H

#include <string>
#include <vector>

struct STREAM;
struct _dd_table;

/* ---- request kinds ------------------------------------------------------- */

#define COMMU_ATT_SERVER 0
#define COMMU_DET_SERVER 1
#define COMMU_ATT_SESSION 2
#define COMMU_DET_SESSION 3
#define COMMU_EXE_TABLE 4
#define COMMU_EXE_DB 5
#define COMMU_EXE_SESSION 6
#define COMMU_EXE_SYSTEM 7
#define COMMU_DD_INFO_TABLE 8
#define COMMU_PERMISSION 9
#define COMMU_SQL_MESSAGE 10
#define COMMU_EXE_UPDATE 11
#define COMMU_EXE_ROW 12
#define COMMU_SEND_COMPNR 13
#define COMMU_AUDITCOLS 14
#define COMMU_ALTER_TABLE 15
#define COMMU_SQL2_MESSAGE 17
#define COMMU_NR_KINDS 18 /* size of the function tables (16 unused) */

/* The debug name of a kind ("ATT_SERVER", ...); "" for 9, 14 and unused
 * codes. */
const char *commu_kind_name(int kind);

/* ---- fixed values ------------------------------------------------------------ */

#define COMMU_FILE_FORMAT 2      /* first two shorts of the attach request */
#define COMMU_SQL_PROTOCOL 8     /* SQL protocol the client speaks */
#define COMMU_NO_REFS "NO REFS"  /* attach marker: references disabled */
#define COMMU_UPD_PIECE 3096     /* largest piece of an update store write */
#define COMMU_LEVEL_UNICODE 0x200 /* level flag: driver in Unicode mode */

/* Return codes with a meaning in the exchange. */
#define E_COMMU_ILLEGAL_STATE 215 /* reply unreadable or inconsistent */
#define E_COMMU_CONFIG 402        /* driver in another character-set mode */
#define E_COMMU_NO_SERVER 505     /* driver cannot be started */
#define E_COMMU_VERSION 511       /* driver speaks another SQL protocol */
#define E_COMMU_DD_CORRUPT 512    /* dictionary description cannot be built */
#define E_COMMU_DD_MISSING 513    /* the driver lacks a table's dictionary */
#define E_COMMU_COMPNR 519        /* the driver lacks the company map */
#define E_COMMU_BUFFERED 520      /* buffered updates failed: detail error */

/* Upper bounds that a reader accepts before it refuses a reply as garbled. */
#define COMMU_MAX_BLOCK (64L * 1024 * 1024) /* one long-counted block */
#define COMMU_MAX_ENTRIES 65536             /* entries of one list */
#define COMMU_MAX_STRING 65536              /* one string */

/* ---- body records ---------------------------------------------------------- */

/* A missing-dictionary entry of a 513 reply (10 bytes on the channel). A
 * first letter in upper case names the table of the new dictionary. */
struct commu_missing_dd {
    char table[9]; /* 8 characters and a NUL added by the reader */
    int compnr;
};

/* An audit entry of a commit reply (request 5). */
struct commu_audit_entry {
    std::string table;
    int s1;
    int s2;
    long l;
};

/* One (name, value) entry of the audit columns (request 14). */
struct commu_auditcol {
    std::string name;
    long value;
};

/* Roles (request 9): a role, its permitted objects, their entries. */
struct commu_permission {
    std::string object;
    int level;
    std::string condition; /* empty: unconditional */
};
struct commu_role_object {
    bool skipped = false;  /* not sent */
    std::vector<commu_permission> entries;
};
struct commu_role {
    std::string name;
    std::vector<commu_role_object> objects;
};

/*
 * The bytes of one table's update store (request 11). The sender pulls
 * them with read_piece (offset, buffer, at most COMMU_UPD_PIECE bytes) and
 * writes each piece as it comes; the receiver keeps them in bytes.
 */
struct commu_update_table {
    char table[9];
    int compnr;
    long byte_count;
    long record_count;
    /* Sender: returns the bytes given (1..max), or -1. */
    int (*read_piece)(void *ctx, long offset, unsigned char *buf, int max) = nullptr;
    void *ctx = nullptr;
    std::vector<unsigned char> bytes; /* receiver; also a sender's source
                                         when read_piece is null */
};

/* The table dictionary description (request 8). */
struct commu_dd_column {
    std::string name; /* field name without the table code */
    int length;
    int offset;
    int type;
    int flags;
    int elements;
    int digits_before;
    int digits_after;
};
struct commu_dd_combined {
    std::string name;
    std::vector<int> members; /* positions in the column list */
};
struct commu_dd_index {
    int keynr;
    int du;
    int a;
    std::vector<int> parts;   /* positions in the column list */
};
struct commu_dd_ref {
    std::string name;
    int mode;
};
struct commu_dd_ref_by {
    std::string table;
    std::string column;
    int mode;
};
struct commu_dd_desc {
    char table[10];           /* 9 bytes on the channel, NUL included */
    int compnr;
    int ref_flags;
    std::vector<commu_dd_column> columns;
    std::vector<commu_dd_combined> combined;
    std::vector<commu_dd_index> indexes;
    std::vector<int> index_words;
    std::vector<commu_dd_ref> refs;
    std::vector<commu_dd_ref_by> refs_by;
};

/*
 * Builds the description of a loaded table (its dictionary mode taken from
 * the record) for a company number, the references left out when
 * refs_disabled is not 0. 0, or -1 with tdb_errno 512 ("Cannot find column
 * with offset %d" logged under "DD corrupt") when a column reference has no
 * stored column at its offset.
 */
int commu_describe_table(const struct _dd_table *table, int compnr,
                         int refs_disabled, commu_dd_desc *out);

/* Callbacks of the second SQL interface (request 17), whose query
 * description and answer belong to the SQL engine. Each returns 0 or -1. */
struct commu_sql2_io {
    int (*write_query)(STREAM *sp, void *ctx) = nullptr;   /* client */
    int (*read_answer)(STREAM *sp, void *ctx) = nullptr;   /* client */
    int (*read_query)(STREAM *sp, void *ctx) = nullptr;    /* driver */
    int (*write_answer)(STREAM *sp, void *ctx) = nullptr;  /* driver */
    void *ctx = nullptr;
};

/* ---- the request block --------------------------------------------------- */

/*
 * The request block: the kind, the return code of the reply and the fields
 * of every request and reply. Blocks given by pointer are the caller's
 * (request side) or lie in the receive buffer (reply side, valid until the
 * next request). Copying the block keeps a request for a resend.
 */
struct commu_block {
    int kind = 0;
    long retval = 0;

    /* attach server (0) */
    long server_id = 0;
    int file_format = COMMU_FILE_FORMAT;
    int file_format2 = COMMU_FILE_FORMAT;
    long sql_protocol = COMMU_SQL_PROTOCOL;
    std::string client_name;
    std::string dt_version;
    std::string compnr_env;
    int no_refs = 0;
    std::string server_desc;  /* "%s %s %s": dictionary env, driver, args */
    long max_sessions = 0;    /* reply */
    long driver_pid = 0;
    long level_flags = 0;
    long reply_sql_protocol = 0;
    int idle_limit = 0;

    /* sessions (2, 3) and every request naming a driver session */
    std::string trans_name;
    long session = 0;
    int det_flag = 2;         /* the byte of a session detach */

    /* table (4), row (12), alter (15) */
    std::string table;
    int compnr = 0;
    long action = 0;          /* number and flags */
    long arg = 0;
    long upd_seq = 0;
    long result = 0;          /* reply of 4, 15, 17 */

    /* database action (5) */
    long audit_trans[3] = {0, 0, 0};
    long audit_a = -1;        /* reply of actions 1 and 7 */
    long audit_b = 0;
    long audit_c = 0;
    std::vector<commu_audit_entry> audit_entries;

    /* session (6) and system (7) requests; message of 6, 7; key block of
     * 12; default row of 15; packet of 10 */
    long code = 0;
    const unsigned char *msg = nullptr;
    long msg_len = 0;
    /* answer of 6, 7; row of 12; packet of 10 (in the receive buffer) */
    const unsigned char *answer = nullptr;
    long answer_len = 0;
    unsigned char *row_out = nullptr; /* 12: caller's row buffer */
    long row_size = 0;                /* its size */

    /* missing dictionaries (4, 11, 12, 15) */
    std::vector<commu_missing_dd> missing;
    long missing_count = 0;   /* the count as received */

    /* table dictionary (8) */
    commu_dd_desc dd;

    /* roles (9) */
    std::vector<commu_role> roles;

    /* buffered updates (11) */
    std::vector<commu_update_table> updates;
    int detail_code = 0;      /* 520 reply */
    char detail_table[9] = {0};
    int detail_number = 0;
    std::string detail_text;

    /* audit columns (14) */
    long auditcols_id = 0;
    std::vector<commu_auditcol> auditcols;

    /* second SQL interface (17) */
    commu_sql2_io sql2;
};

/* The request block of the process. */
extern commu_block commu;

/* ---- codec: one function per direction ------------------------------------ */

/*
 * Client side: writes the request of blk->kind (the kind byte first) /
 * reads its reply into blk (retval included). Driver side: reads a
 * request (the kind byte first) / writes the reply of blk->kind. Each
 * returns 0, or -1 when the stream failed or the bytes are not a valid
 * message (unknown kind, truncated, counts or lengths out of bounds); a
 * reader then leaves the stream where it stopped. The body of request 13
 * is written by compnrWriteMap and left on the stream for the company
 * module's reader.
 */
int commu_write_request(STREAM *sp, const commu_block *blk);
int commu_read_reply(STREAM *sp, commu_block *blk);
int commu_read_request(STREAM *sp, commu_block *blk);
int commu_write_reply(STREAM *sp, const commu_block *blk);

/* The body of request 8 (after the driver session id). 0 or -1. */
int commu_write_dd_desc(STREAM *sp, const commu_dd_desc *desc);
int commu_read_dd_desc(STREAM *sp, commu_dd_desc *desc);
/* The roles message (request 9). 0 or -1. */
int commu_write_roles(STREAM *sp, const std::vector<commu_role> &roles);
int commu_read_roles(STREAM *sp, std::vector<commu_role> *roles);

/* The receive buffer shared by all requests: at least size bytes, valid
 * until the next request; null when memory runs out. */
unsigned char *commu_receive_buffer(long size);

/* ---- action codes ---------------------------------------------------------- */

/* Flag bits of a row, table or database action; 0 for unknown numbers
 * (a row action below 1 and a table or database action out of range also
 * print "Wrong command in %s: %d command %d\n" on standard error). */
long type_commu_row_action(int action);
long type_commu_table_action(int action);
long type_commu_db_action(int action);
/* The name of an action ("db_first", "create_table", "commit_trans", ...);
 * "" for numbers without a name. */
const char *tdb_row_action(int action);
const char *tdb_table_action(int action);
const char *tdb_db_action(int action);

/* Row, table and database action numbers the client itself sends. */
#define TDB_LOCK_TABLE 7        /* table action lock_table */
#define TDB_ALTER_TABLE 10      /* table action alter_table */
#define TDB_COMMIT_TRANS 1
#define TDB_AUDIT_COMMIT 7

#endif
