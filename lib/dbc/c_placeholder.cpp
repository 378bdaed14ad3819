/*
 * c_placeholder.cpp: stand-ins for the tdb API lifecycle (init, logon,
 * transactions, logoff), which the tool already calls. They keep the real
 * names, signatures and error numbers and do the least that is correct:
 * no driver is started. The file goes when the API lifecycle lands.
 */
#include <cstdio>

#include "al_env.h"
#include "al_log.h"
#include "al_user.h"
#include "qpd_dd.h"
#include "tss.h"
#include "c_commu.h"
#include "c_state.h"
#include "tdb_api.h"
#include "tdb_dd_chk.h"

static bool logged_on = false;
static bool references_disabled = false;
static bool trans_in_use[256];

int tdb_init_api(const char *progname, int progname_mode, int /*attach_shm*/,
                 int locale_mode)
{
    TssRegisterLogHooks();
    log_set_progname(progname, progname_mode);
    /* Framed log blocks show the API's last error. */
    log_set_tdb_errno_source(tdb_get_tdb_errno, nullptr);
    /* The user's record: a status other than 0 fails the start. */
    int status = init_user();
    if (status != 0)
        return status;
    /* The dictionary: its errors become tdb_errno; the local cache; the
     * dictionary mode of the API. */
    qpd_set_error_hook(tdb_error);
    /* Domains read from now on carry a compiled range expression. */
    tdb_dd_chk_init();
    init_local_dd();
    init_dd_mode(4);
    /* The character-set locale follows the user's. */
    TSSsetlocale(user_info.locale[0] != '\0' ? user_info.locale : "ISO-8859-1",
                 locale_mode);
    return 0;
}

int tdb_logon(const char *client)
{
    if (logged_on) {
        tdb_errno = 502;
        return -1;
    }
    snprintf(tdb_info.client, sizeof tdb_info.client, "%s", client ? client : "");
    tdb_init_commu();
    logged_on = true;
    return 0;
}

int tdb_logoff(void)
{
    if (!logged_on) {
        tdb_errno = E_TDB_NOT_LOGGED_ON;
        return -1;
    }
    logged_on = false;
    for (bool &in_use : trans_in_use)
        in_use = false;
    return 0;
}

void tdb_disable_references(void)
{
    references_disabled = true;
    tdb_info.references_disabled = 1;
}

unsigned int tdb_start_session(const char * /*name*/)
{
    for (unsigned int id = 1; id <= 255; ++id) {
        if (!trans_in_use[id]) {
            trans_in_use[id] = true;
            return id;
        }
    }
    tdb_errno = 525;
    return 0;
}

int tdb_stop_session(unsigned int trans_id)
{
    if (trans_id < 1 || trans_id > 255 || !trans_in_use[trans_id]) {
        tdb_errno = E_TDB_INVALID_SESSION;
        return -1;
    }
    trans_in_use[trans_id] = false;
    return 0;
}
