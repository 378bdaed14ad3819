/*
 * al_msg.cpp: the AL message table (message name, variable, default text),
 * the unescaping of the defaults at start-up, and the replacement of the
 * texts from the language's message file "lib/textinf/altext0<language>".
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "al_env.h"
#include "al_log.h"
#include "al_mem.h"
#include "al_msg.h"
#include "al_res.h"
#include "al_stream.h"

const char *AL_CANTOPEN = "Can't open %s: error %d\n";
const char *AL_UNEXEOL = "Unexpected end of line at line %d in file %s\n";
const char *AL_BADSETNO = "Bad character set number at line %d of %s\n";
const char *AL_DISCARD = "%s sequences: \"%s\" discarded\n";
const char *AL_IDENTICAL = "Identical key: '%s'";
const char *AL_OVERLAP = "Overlapping key: '%s'";
const char *AL_UNEXPEOF = "Unexpected end of file at line %d in file %s";
const char *AL_EMPTYSTR = "Empty string at line %d in file %s";
const char *AL_UNKENT = "Unknown entry at line %d in file %s (%s)";
const char *AL_RESNOTFND = "Resource '%s' not found\n";
const char *AL_BADRESTYPE = "Bad resource type for '%s'\n";
const char *AL_VRCN = "resource n_vrc_path should be defined before vrc_path\n";
const char *AL_MAXVRC =
    "Too many or changed vrc_path entries, maximum %d according to n_vrc_path\n";
const char *AL_MAXRES = "Can't add more resources. Limit is %d arrays\n";

namespace {

const char kSrc[] = "lib/al_1/al_msg.cpp";

struct MessageEntry {
    const char *name;
    const char **variable;
    const char *deflt;
    bool owned = false; /* *variable is a heap copy of ours */
};

/* Replaces a message text, freeing the copy it replaces. */
void set_entry_text(MessageEntry *e, const char *text)
{
    if (e->owned)
        mal_free(const_cast<char *>(*e->variable));
    *e->variable = text;
    e->owned = true;
}

/* The defaults are the initial values of the variables, taken once. */
MessageEntry *message_table()
{
    static MessageEntry table[] = {
        {"AL_CANTOPEN", &AL_CANTOPEN, AL_CANTOPEN},
        {"AL_UNEXEOL", &AL_UNEXEOL, AL_UNEXEOL},
        {"AL_BADSETNO", &AL_BADSETNO, AL_BADSETNO},
        {"AL_DISCARD", &AL_DISCARD, AL_DISCARD},
        {"AL_IDENTICAL", &AL_IDENTICAL, AL_IDENTICAL},
        {"AL_OVERLAP", &AL_OVERLAP, AL_OVERLAP},
        {"AL_UNEXPEOF", &AL_UNEXPEOF, AL_UNEXPEOF},
        {"AL_EMPTYSTR", &AL_EMPTYSTR, AL_EMPTYSTR},
        {"AL_UNKENT", &AL_UNKENT, AL_UNKENT},
        {"AL_RESNOTFND", &AL_RESNOTFND, AL_RESNOTFND},
        {"AL_BADRESTYPE", &AL_BADRESTYPE, AL_BADRESTYPE},
        {"AL_VRCN", &AL_VRCN, AL_VRCN},
        {"AL_MAXVRC", &AL_MAXVRC, AL_MAXVRC},
        {"AL_MAXRES", &AL_MAXRES, AL_MAXRES},
        {nullptr, nullptr, nullptr},
    };
    return table;
}

/* An unescaped heap copy of text, or null. */
const char *unescaped_copy(const std::string &text)
{
    std::string buf(text.size() + 1, '\0');
    make_string(text.c_str(), buf.data());
    return mal_strsave(buf.c_str());
}

MessageEntry *find_entry(const char *name)
{
    for (MessageEntry *e = message_table(); e->name != nullptr; ++e)
        if (std::strcmp(e->name, name) == 0)
            return e;
    return nullptr;
}

} // namespace

void init_default_al_text(void)
{
    for (MessageEntry *e = message_table(); e->name != nullptr; ++e) {
        const char *text = unescaped_copy(e->deflt);
        if (text != nullptr)
            set_entry_text(e, text);
    }
}

const char *al_message_text(const char *name)
{
    if (name == nullptr)
        return nullptr;
    MessageEntry *e = find_entry(name);
    return e != nullptr ? *e->variable : nullptr;
}

int init_al_messages(int language)
{
    message_table(); /* the defaults are taken before any replacement */
    const char *override = getvar("AL_TEXT_LANG");
    if (override != nullptr && override[0] != '\0')
        language = static_cast<unsigned char>(override[0]);
    char relative[64];
    std::snprintf(relative, sizeof relative, "lib/textinf/%2.2stext0%c", "al",
                  static_cast<char>(language));
    STREAM *sp = open_tse_file("%s", relative);
    if (sp == nullptr)
        return -1;

    int replaced = 0;
    int lineno = 0;
    char line[2048];
    while (sgets(line, sizeof line, sp) != nullptr) {
        ++lineno;
        const char *p = line;
        if (*p == '#' || *p == '\0')
            continue;
        std::string name;
        while (*p != '\0' && *p != ' ' && *p != '\t')
            name += *p++;
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p != '"') {
            log_mesg(kSrc, __LINE__, "hashtext", 0, "Unexpected char at %d of %s\n",
                     lineno, relative);
            continue;
        }
        ++p;
        /* The text up to the closing quote; escapes stay for make_string,
         * a multibyte sequence is taken whole. */
        std::string text;
        bool closed = false;
        while (*p != '\0') {
            auto c = static_cast<unsigned char>(*p);
            if (c == 0x9b) {
                int i = 0;
                while (i < 4 && p[i] != '\0')
                    text += p[i++];
                p += i;
                continue;
            }
            if (c == '\\' && p[1] != '\0') {
                text += p[0];
                text += p[1];
                p += 2;
                continue;
            }
            if (c == '"') {
                closed = true;
                break;
            }
            text += *p++;
        }
        if (!closed) {
            log_mesg(kSrc, __LINE__, "hashtext", 0, "Unexpected eof at %d of %s\n",
                     lineno, relative);
            continue;
        }
        MessageEntry *e = find_entry(name.c_str());
        if (e == nullptr)
            continue;
        const char *stored = unescaped_copy("[" + name + "] " + text);
        if (stored != nullptr) {
            set_entry_text(e, stored);
            ++replaced;
        }
    }
    sclose(sp);
    return replaced;
}
