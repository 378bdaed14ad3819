/*
 * al_user.h: the user record of the process: the Trel user's settings,
 * filled from the standard resource table (defaults, lib/defaults files,
 * the user file) and from the environment at user initialisation.
 * Implemented in lib/al_1; read by every layer.
 */
#ifndef AL_USER_H
#define AL_USER_H

#define TREL_USER_LEN 8   /* longest Trel user name */
#define OS_USER_LEN 256   /* longest OS user name */

struct user_info {
    /* Settings of the standard resource table, in its order. */
    char ghoststart;
    char ghostend;
    char *unixuser;            /* OS users that may act as this Trel user */
    char usertype;             /* "S" = superuser: every permission */
    unsigned char exec_perms;  /* level 0-2, plus bits 4 and 8 */
    char startmenu[17];
    short compnr;
    char company[31];
    char language;
    char dateformat[7];        /* e.g. "YYMMDD" */
    char datesep;
    char timesep;
    char thousep;
    char radixchar;
    short starttime;           /* HHMM */
    short endtime;             /* HHMM */
    short termauth;            /* 1 when the terminal is authorised */
    char compauth;
    unsigned char history;
    char passwd[33];
    short lockdelay;
    char first_dow;            /* resource "1st_dow" */
    char pacc[9];              /* the user's package combination */
    char shell[21];
    short domaincheck;
    char overflow_ch;
    char hide_ch;
    char noref_ch;
    char input_ch;
    short timer;
    unsigned char max_main;
    char locale[15];
    short n_vrc_path;
    int bidi;
    int print_delay;
    int all_dev;
    int debug_level;
    char *appl_server;
    char std_program[17];
    char *startprogram;
    char *startprogram_gui;
    char *startprogram_inet;
    char *system_shell;
    char timeam[16];
    char timepm[16];
    char timezone[51];
    char hostname[30];
    char *log_mailcmd;
    char *log_errorhook;
    int use_extra_logging;
    int log_size;              /* kilobytes before the log file rotates */
    int stp_win_def;
    int stp_old_options;
    int stp_session_code;
    char *def_textg;
    char *def_textf;
    char *text_auth;
    char *roles;
    int enable_all_logs;
    int compress_iobuf_size;
    int toolbar1;
    int toolbar2;
    int unicode_l2d;
    int hide_format_errors;
    int high_ascii_tolerance;
    int shm_compat_mode;

    /* Filled at user initialisation. */
    char trel_user[TREL_USER_LEN + 1];
    short env_compnr;          /* from TSE_COMPNR */
    char package_comb[9];      /* from PACKAGE_COMB */
    char date_pattern[4][11];  /* YY/MM/DD, YYYYMMDD, YYYY/MM/DD, plain */
    char currency_code;        /* default format codes from lib/datecurr */
    char date_code;
    char time_code;
    char utc_code;
    unsigned char company_bits[125]; /* one bit per company 0-999 (compauth) */
    int name_explicit;         /* the name came from USER or the mapping file */
};

/* The one user record of the process. */
extern struct user_info user_info;

/* User status codes of read_user_info and the init_user family. */
#define USER_OK 0
#define USER_BAD_PROGRAM 1      /* program name unknown, bad TSE_COMPNR */
#define USER_BAD_TERMINAL 2     /* terminal not authorised */
#define USER_BAD_HOURS 3        /* outside the allowed hours */
#define USER_NOT_VALID 4        /* no user file, or OS user not allowed */

/*
 * User initialisation, once per process (later calls return 0): mask,
 * terminal, GETCWD, default resources, the user file. init_user is for
 * the tdb API and tools, init_tshell_user for the application shell
 * (exports USER, reads lib/datecurr, checks unixuser), init_server_user
 * for servers (keeps a GETCWD that is already set). Status 0-4.
 */
int init_tshell_user(void);
int init_server_user(void);

/*
 * Loads the user file "lib/user/u/u<user>" (else "lib/user/u<user>") under
 * the root into the user record and checks terminal and working hours.
 * Status 0-4 (4 and 1 logged).
 */
int read_user_info(const char *trel_user);

/* The OS user of the process ("" when unknown). */
const char *get_os_user(void);

/* Non-zero when the user may switch to company compnr (always for user
 * type "S"); 0 for a number outside 0-999. */
int compnr_change_allowed(int compnr);

/* Non-zero when PACKAGE_COMB was set at user initialisation. */
int IsPackageCombinationRedefined(void);

/* The terminal name of the process ("" when none). */
const char *get_tty_name(void);

/*
 * 1 when the time hhmm lies within the working hours: with start below
 * end within [start, end]; otherwise (a window across midnight) not
 * strictly between end and start.
 */
int al_within_working_hours(int start, int end, int hhmm);

/* Derives the four date patterns of the user record from dateformat and
 * datesep. */
void set_formatted_date(void);

/*
 * Reads "lib/datecurr" under the root and records the first line of each
 * tag A, C, D, T, U. Returns 0, or -1 when the file cannot be read (not
 * an error).
 */
int read_datecurr_info(void);

/* The first datecurr line of a tag (from the tag to the end of the line,
 * at most size - 1 bytes) into out; 1, or 0 when the tag has no line. */
int get_datecurr_line(char tag, char *out, unsigned long size);

/* The version paths of the user record (vrc_path), in order. */
int get_vrc_path_count(void);
const char *get_vrc_path(int index);

#endif
