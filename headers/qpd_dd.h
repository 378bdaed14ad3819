/*
 * qpd_dd.h: the data dictionary (tables, columns, domains, keys, references,
 * the row-buffer layout and default rows, current and new side by side) and
 * which drivers serve which tables (tabledef). Implemented in lib/qpd.
 */
#ifndef QPD_DD_H
#define QPD_DD_H

#include <cstddef>

/* ---- column data types --------------------------------------------------- */

#define TDB_BYTE 1
#define TDB_INTEGER 2
#define TDB_LONG 3
#define TDB_FLOAT 4
#define TDB_DOUBLE 5
#define TDB_STRING 6
#define TDB_DATE 7
#define TDB_TIME 8
#define TDB_TEXT 9
#define TDB_LONG_V 10
#define TDB_ENUM 11
#define TDB_SET 12
#define TDB_COMBINED 13
#define TDB_MBSTRING 14
#define TDB_RAW 15
#define TDB_MAX_TYPE 15

/* Column flags. */
#define DD_COL_ARRAY 0x01      /* more than one element */
#define DD_COL_MANDATORY 0x02  /* F attribute line */
#define DD_COL_PART 0x04       /* part of a combined column */
#define DD_COL_REF 0x08        /* has an outgoing reference */
#define DD_COL_PART_REF 0x10   /* part of a combined column with a reference */
#define DD_COL_NOT_IN_DB 0x20  /* not stored in the database */
#define DD_COL_INDEX 0x40      /* index pseudo-column _index N */
#define DD_COL_AUDIT 0x80      /* audited column */

/* Dictionary flags in dd_info.flags. */
#define DD_LOCAL 1
#define DD_GLOBAL 2
#define DD_NEW 4          /* new dictionary selected */
#define DD_CURRENT 8      /* current dictionary selected */
#define DD_LOAD_REFS 16   /* load referenced tables too */

/* Limits of the row buffer and keys. */
#define DD_MAX_ROW 6144
#define DD_MAX_DATA (DD_MAX_ROW - 6)
#define DD_MAX_KEY 500
#define DD_MAX_KEY_PARTS 1024

/* Error numbers set by the dictionary (see qpd_set_error_hook). */
#define E_DD_ERROR 512      /* structural error in a dictionary file */
#define E_DD_NOT_FOUND 513  /* table file cannot be opened */
#define E_DD_NO_SERVER 505  /* no server / tabledef not readable */
#define E_DD_NO_MEMORY 501

/* One row of the type table: the letter of the domain files, the code and
 * the element width (0: taken from the domain's CLEN). */
struct dd_type_def {
    char letter;
    unsigned char type;
    unsigned char width;
};
/* The 16-row type table (b, B, i, l, f, d, s, t, k, u, v, e, p, c, m, r). */
extern const struct dd_type_def dd_type_table[16];
/* The row of a letter, or null for an unknown letter. */
const struct dd_type_def *dd_type_from_letter(char letter);
/* TDB_TEXT, TDB_LONG_V, TDB_SET -> TDB_LONG; TDB_ENUM -> TDB_BYTE; other
 * types themselves (an invalid code is returned unchanged). */
int dd_base_type(int type);

/* ---- records --------------------------------------------------------------- */

/* One entry of an enum list: keyword, description, value. */
struct _dd_enum_entry {
    char keyword[17];
    const char *description;
    int value;
};

/* An enum list of one language, chained to the next language. */
struct _dd_enum_list {
    struct _dd_enum_list *next;
    char language;
    short max_desc_length;
    short count;
    struct _dd_enum_entry *entries;
};

struct _dd_domain {
    /* Type-dependent word: enum lists (TDB_ENUM, TDB_SET), CO character
     * (string domains) or DIV number (other types). */
    union {
        struct _dd_enum_list *enums;
        long value;
    } word;
    /* Compiled range expression (from the registered compiler), or null. */
    void *range;
    /* The range expression text as read from the RA line ("" for none). */
    const char *range_text;
    /* Five consecutive NUL-terminated strings: L, IL, O, IF, DM. */
    const char *attrs;
    short width;          /* byte width of one element */
    char attr;            /* attribute character of the A line */
    char variant;         /* TDB_BYTE: 1 when the type letter was B */
    char name[13];        /* domain name without package code */
    unsigned char type;
    unsigned char digits_before;
    unsigned char digits_after;
    short rn;
    short display_width;
    char package[3];
};
/* Index of the five attribute strings. */
#define DD_ATTR_L 0
#define DD_ATTR_IL 1
#define DD_ATTR_O 2
#define DD_ATTR_IF 3
#define DD_ATTR_DM 4
/* The attribute string number index (DD_ATTR_*) of a domain. */
const char *dd_domain_attr(const struct _dd_domain *domain, int index);
/*
 * The five attribute strings of a domain at once: each out pointer that is
 * not null receives the L (legal characters), IL (illegal characters), O,
 * IF and DM text, in that order; "" for a missing text or a null domain.
 * The texts belong to the dictionary.
 */
void extract_dom_attributes(const struct _dd_domain *domain, const char **legal,
                            const char **illegal, const char **output,
                            const char **input_format, const char **display_mask);

struct _dd_domain_list {
    char package[3];
    struct _dd_domain *domains; /* sorted by name */
    int count;
    unsigned char mode_bits;    /* DD_CURRENT or DD_NEW */
};

struct _dd_column {
    union {
        struct _dd_domain *domain;   /* plain columns */
        struct _dd_column **parts;   /* TDB_COMBINED: null-terminated, or null */
    };
    unsigned short offset;
    unsigned short length;           /* all elements */
    unsigned char elements;
    unsigned char type;
    unsigned char flags;
    char name[21];                   /* table code, point, field name */
};

struct _dd_key {
    struct _dd_column **parts;   /* null-terminated */
    signed char keynr;           /* from 1 */
    unsigned char attr_a;        /* A line digit */
    unsigned char attr_du;       /* DU line digit */
};

struct _dd_table;

struct _dd_ref {
    struct _dd_column *column;   /* referencing column */
    struct _dd_table *table;     /* owning table */
    char column_name[21];        /* full name of the referencing column */
    char to_name[18];            /* referenced table and column */
    char text[15];               /* RF text */
    unsigned short mode;
};

/* An incoming reference: a column of another table referring to this one. */
struct _dd_ref_by {
    char name[18];
    unsigned short mode;
    struct _dd_ref *ref;         /* the other table's outgoing reference once bound */
};

/* A byte range of audited columns; a list ends with length 0. */
struct dd_audit_range {
    unsigned short offset;
    unsigned short length;
};

struct _dd_table {
    struct _dd_column *columns;         /* sorted by field name */
    struct _dd_column *first_key_column;
    struct _dd_key *keys;               /* file order */
    unsigned short *column_groups;      /* packed list, or null */
    struct _dd_column *refcnt_u;
    struct _dd_column *refcnt_d;
    struct _dd_column *rcd_utc;
    struct dd_audit_range *audit_ranges;
    char u_text[15];
    char d_text[27];
    unsigned char *default_row;
    struct _dd_ref *refs;               /* sorted by referencing field name */
    struct _dd_ref_by *ref_by;
    char code[9];
    unsigned short data_length;
    unsigned short row_length;
    short nr_columns;
    short nr_refs;
    short nr_ref_by;
    unsigned char nr_keys;
    unsigned char mode_bits;            /* DD_CURRENT or DD_NEW */
    struct _dd_column **sequence_columns;
};

/* Process-wide dictionary state. */
struct dd_info {
    void *domain_hash;        /* package code -> domain lists (internal) */
    void *table_hash;         /* table code -> tables (internal) */
    int flags;                /* DD_* */
    int last_from_new;        /* the last table file loaded was a ".new" one */
    const char *empty_attrs;  /* shared block of five empty strings */
    void *(*alloc)(size_t);   /* allocator of every record */
};
extern struct dd_info dd_info;

/* ---- hooks ------------------------------------------------------------------- */

/*
 * The dictionary does not link the tdb API. Every error number it sets
 * (512, 513, 505, 501, or 0 to clear) is kept in qpd_errno and passed to
 * the hook registered here (the API registers tdb_error). Null removes it.
 */
void qpd_set_error_hook(void (*hook)(int code));
/* The last error number set by the dictionary (0 for none). */
int qpd_get_errno(void);
void qpd_clear_errno(void);

/*
 * Compiler of domain range expressions, registered by the expression
 * module: returns the compiled handle, or null with *error set. Without a
 * compiler the text is only stored (range stays null).
 */
typedef void *(*qpd_range_compiler)(const char *text, int *error);
void qpd_set_range_compiler(qpd_range_compiler compiler);

/*
 * Audit-column configuration, registered by the audit module: whether the
 * audit table is in use, and whether any column of a table and company is
 * logged. Without hooks auditing through audit columns is off.
 */
void qpd_set_auditcols_hooks(int (*using_auditcols)(void),
                             int (*some_column_is_logged)(const char *table,
                                                          int compnr));

/* Debug bits of the API (bit 32 prints the server list of each table). */
void qpd_set_debug(int bits);

/* ---- set-up and mode ------------------------------------------------------- */

/* The process's own dictionary; current dictionary selected. 0. */
int init_local_dd(void);
/* The same with the caller's allocator (asked once for the base). 0/-1. */
int init_global_dd(void *(*alloc)(size_t));
/* 1 current, 3 new, 4 also load referenced tables; other values are
 * logged ("Illegal DD mode") and change nothing. Returns 0 or -1. */
int init_dd_mode(int mode);
/* 1 current selected, 3 new selected, else 0. */
int get_dd_mode(void);

/* ---- lookups (null when not found; only records of the selected mode) ----- */

/* The table of an 8-character code, loaded on first use (qpd_errno 512/513). */
struct _dd_table *ddtable(const char *code);
/* Cache only (one-entry memo of the last hit). */
struct _dd_table *ddtable_local(const char *code);
struct _dd_table *local_ddtable(const char *code);
/* A column by full name (table loaded if needed). */
struct _dd_column *ddcolumn(const char *name);
/* A field name (the part after the point, or a full name) in a table. */
struct _dd_column *ddcolumn_by_ddtable(const struct _dd_table *table,
                                       const char *field);
struct _dd_table *ddtable_from_columnname(const char *name);
/* The 8-character table code of a column name / column into out (9 bytes);
 * out null uses a static buffer. */
char *ddtablename_from_columnname(const char *name, char *out);
char *ddtablename_from_column(const struct _dd_column *column, char *out);

/* Domain by full name (package code + name): cache only / loading. */
struct _dd_domain *dddomain(const char *name);
struct _dd_domain *dddomain_with_read(const char *name);
/* "domain.keyword": the enum/set domain and *value of the keyword. */
struct _dd_domain *dddomain_from_enum_keyw(const char *text, int *value);
/* The enum list of a language; logs "Language %c error in domain '%s'". */
struct _dd_enum_list *get_enum_def(const struct _dd_domain *domain, char language);
/* Full domain name into out (at least 15 bytes; null: static buffer). */
char *dddomainname_from_domain(const struct _dd_domain *domain, char *out);
/* Loads the domain file of the package of name (its first 2 characters). */
struct _dd_domain_list *read_domain_list(const char *name);

/* The outgoing reference of the referencing column name. */
struct _dd_ref *ddfrom_ref(const char *name);
/* The incoming references of the table of name (code or column name). */
struct _dd_ref_by *ddto_ref_list(const char *name, int *count);
/*
 * The chain of outgoing references from table "from" to table "to",
 * depth-first, at most max_depth references, no table twice. route (room
 * for max_depth pointers) receives the chain. Returns its length, or -1.
 */
int ref_route(const char *from, const char *to, struct _dd_ref **route,
              int max_depth);

struct _dd_key *key_desc(const struct _dd_table *table, int keynr);
struct _dd_column **search_key_parts(const struct _dd_table *table, int keynr);
/* 1 when column is one of parts or a part of one of them. */
int is_key_part(struct _dd_column *const *parts, const struct _dd_column *column);

/*
 * Flat lists of stored columns (combined ones expanded, not-in-database
 * left out), null-terminated, written into out (room for max pointers
 * including the terminator). Return the count, or -1 when out is too small.
 */
int list_columns(struct _dd_column *const *parts, struct _dd_column **out, int max);
int list_all_columns(const struct _dd_table *table, struct _dd_column **out, int max);
int list_column_columns(struct _dd_column *column, struct _dd_column **out, int max);
int list_index_columns(const struct _dd_key *key, struct _dd_column **out, int max);
/* Stored, non-combined columns by offset, null-terminated; out null: newly
 * allocated with mal_allocater (the caller frees it with mal_free). */
struct _dd_column **sort_columns_by_offset(const struct _dd_table *table,
                                           struct _dd_column **out);

/* ---- keys --------------------------------------------------------------- */

int tdb_max_key_size_of_table(const struct _dd_table *table);
/* Copy the parts' bytes from the row into keybuf; the last two return the
 * position behind the last byte written. */
void tdb_extract_key(unsigned char *keybuf, const unsigned char *row,
                     const struct _dd_key *key);
unsigned char *tdb_extract_cols(unsigned char *keybuf, const unsigned char *row,
                                struct _dd_column *const *parts);
unsigned char *tdb_extract_n_cols(unsigned char *keybuf, const unsigned char *row,
                                  struct _dd_column *const *parts, int n);
/* The inverse: spread keybuf over the row. Return the position behind the
 * last key byte read (tdb_fill_key returns nothing). */
void tdb_fill_key(unsigned char *row, const unsigned char *keybuf,
                  const struct _dd_key *key);
const unsigned char *tdb_fill_cols(unsigned char *row, const unsigned char *keybuf,
                                   struct _dd_column *const *parts);
const unsigned char *tdb_fill_n_cols(unsigned char *row, const unsigned char *keybuf,
                                     struct _dd_column *const *parts, int n);
/* Negative, zero or positive. */
int tdb_compare_cols(const unsigned char *a, const unsigned char *b,
                     struct _dd_column *const *parts);
int tdb_compare_key(const unsigned char *a, const unsigned char *b,
                    const struct _dd_key *key);
int tdb_compare_key_in_row(const unsigned char *rowa, const unsigned char *rowb,
                           const struct _dd_key *key);

/* ---- defaults ------------------------------------------------------------ */

/* Writes the value of a default text into the column's bytes of row. */
void fill_default(const struct _dd_column *column, unsigned char *row,
                  const char *text);
/* Writes compnr into the row's _compnr column, big-endian. */
void put_compnr_in_row(const struct _dd_table *table, unsigned char *row,
                       int compnr);

/* ---- drivers of tables (tabledef) --------------------------------------------- */

#define DD_MAX_SERVERS 10       /* elements per table */
#define DD_MAX_ALTERNATIVES 10  /* alternatives per element */

/* Server type bits. */
#define DD_SRV_AUDIT 8
#define DD_SRV_DB 16
#define DD_SRV_MACHINE 32
#define DD_SRV_TYPE_MASK 0x3f
#define DD_SRV_REMOTE 0x40
#define DD_SRV_READ 0x200
#define DD_SRV_UNREADABLE 0x400

struct dd_tabledef_file;

/* One distinct server (process-wide, shared). */
struct dd_server {
    int type;
    char *name;       /* driver name, "host!name" when remote */
    char *args;       /* arguments, separated by byte 1 */
    struct dd_tabledef_file *tabledef; /* DD_SRV_MACHINE: that machine's file */
};

/* One element of a server list: its alternatives ("|"). */
struct dd_server_choice {
    int nr_alt;
    struct dd_server *alt[DD_MAX_ALTERNATIVES];
};

/* The servers of a table and company. */
struct dd_tabledef {
    int nr_server;
    struct dd_server_choice server[DD_MAX_SERVERS];
};

/*
 * Imposes one server list (tabledef server-list syntax) on every table of
 * the process. Returns 0, or -1 (qpd_errno 505) when the text is not a
 * valid list. A second call logs "Can't redefine server ('%s' ignored)"
 * and returns 0.
 */
int specify_server(const char *entry);
/* The servers of a table (8 characters) and company into out. 0, or -1
 * with qpd_errno 505 (or 501). */
int client_get_tabledef(const char *table, int compnr, struct dd_tabledef *out);
/* The read driver: the server marked "+", else the first non-audit one;
 * null when none (qpd_errno as client_get_tabledef). */
struct dd_server *read_driver_for_table(const char *table, int compnr);
/* The name of that server, or null. */
const char *get_dbc_read_driver(const char *table, int compnr);
/* 1 when server serves table in any company (audit servers: always). */
int table_in_driver(const char *table, const struct dd_server *server);
/* Turns auditing off for the process. */
void tdb_disable_audit(void);
/* Comma-separated hosts of the table's audit servers ("localhost" for a
 * local one) into out (size bytes). 0, or -1. */
int get_audit_hosts(const char *table, int compnr, char *out, size_t size);
/* Identification of the dictionary environment, computed once. */
const char *qpdDDGetEnv(void);

#endif
