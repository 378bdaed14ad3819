/*
 * c_state.h: the API state that the driver exchange needs: the API record
 * tdb_info, transactions, servers and sessions, reduced to the fields that
 * the requests, the attach and detach sequences and the repair loops use.
 * The API lifecycle completes these records.
 */
#ifndef C_STATE_H
#define C_STATE_H

#include <string>
#include <vector>

#include "tdb_commu.h"

struct STREAM;
struct dd_server;
struct tdb_server;
struct tdb_trans;

/* Debug switches (TDB_DEBUG): bit 2 prints every request and reply. */
#define TDB_DEBUG_COMMU 2
inline int TDB_DEBUG = 0;

/* Detail error of a transaction, from a 520 reply. */
struct tdb_detail_error {
    int code = 0;
    char table[8] = {0};
    unsigned short number = 0;
    std::string text;
};

struct tdb_session {
    tdb_session *next_in_trans = nullptr;
    tdb_session *next_in_server = nullptr;
    tdb_trans *trans = nullptr;
    tdb_server *server = nullptr;
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
    STREAM *rd = nullptr;               /* both null: not activated */
    STREAM *wr = nullptr;
    long level_flags = 0;
    unsigned char idle_limit = 0;
    unsigned char idle = 0;
    long host_id = 0;
    long server_id = 0;
    long sql_protocol = 0;
};

/* Starts a driver: fills the two streams of its channel; 0 or -1. */
typedef int (*tdb_driver_starter)(tdb_server *server, STREAM **rd, STREAM **wr);

/* The API record. */
struct tdb_info_rec {
    int logged_on = 0;
    char client[9] = {0};
    tdb_server *servers = nullptr;
    tdb_trans *transactions = nullptr;
    int references_disabled = 0;
    /* Roles sent to every driver (request 9). */
    std::vector<commu_role> roles;
    /* Audit columns sent to every driver (request 14) while in use. */
    int auditcols_in_use = 0;
    long auditcols_id = 0;
    std::vector<commu_auditcol> auditcols;
    /* Starts the driver of a server (the channel layer's attach). */
    tdb_driver_starter start_driver = nullptr;
    /* The SQL engine's packet handler of request 10: 0 or -1. */
    int (*sql_packet_handler)(const unsigned char *bytes, long length) = nullptr;
    /* The checkpoint timing log: receives a name ("db.%d" with the process
     * id) and the text of each exchange; null records nothing. */
    void (*checkpoint)(const char *name, const char *text) = nullptr;
    /* The process-wide counter of server ids. */
    long last_server_id = 0;
};
inline tdb_info_rec tdb_info;

#endif
