/*
 * qpd_internal.h: what the three parts of the dictionary share: the error
 * seam, record allocation, the table and domain-list caches, and the loader
 * entry points. Not part of the public interface (headers/qpd_dd.h is).
 */
#ifndef QPD_INTERNAL_H
#define QPD_INTERNAL_H

#include <string>
#include <string_view>
#include <vector>

#include "qpd_dd.h"

namespace qpd {

/* Sets qpd_errno and hands the number to the registered hook. */
void set_error(int code);

/* Zeroed record memory from dd_info.alloc; never freed one by one. */
void *alloc_zeroed(size_t size);
char *save_string(std::string_view text);
/* From now on alloc_zeroed also appends every block to list (null: stops);
 * returns the list in force before. Used to undo a failed table load. */
std::vector<void *> *track_allocations(std::vector<void *> *list);

/* DD_NEW or DD_CURRENT, whichever dictionary is selected. */
int selected_bits();

/* Caches: find (selected mode only), link and unlink. */
_dd_table *cache_find_table(std::string_view code, int mode_bits);
void cache_link_table(_dd_table *table);
void cache_unlink_table(_dd_table *table);
_dd_domain_list *cache_find_domain_list(std::string_view package, int mode_bits);
void cache_link_domain_list(_dd_domain_list *list);

/* Loads a table file of the selected dictionary (null on failure). */
_dd_table *load_table(const char *code);

/* Builds the _dlock/_compnr columns at position index of the column array. */
void make_extra_columns(_dd_table *table, _dd_column *columns);

/* Field name of a full column name (after the first point; the name itself
 * when it has none). */
std::string_view field_of(std::string_view name);

/* Strips surrounding spaces (and tabs). */
std::string_view strip(std::string_view text);

/* The built-in domains Dom.dlock and Dom.compnr. */
_dd_domain *builtin_dlock();
_dd_domain *builtin_compnr();

/* Reference mode from its code of up to 5 characters. */
unsigned short ref_mode_from_code(std::string_view code);

/* Compiles the domain's range text with the registered compiler (if any);
 * a failure is logged and leaves the error number as it was. */
void qpd_compile_range(_dd_domain *domain);

/* Forgets the one-entry memos (mode change, unlink). */
void forget_memos();

/* Forgets the table record that a failed load keeps for the next load. */
void forget_spare_table();

/* Forgets every table and domain list of the caches, the memos and the
 * record kept for reuse, so that the next lookups load afresh. Nothing is
 * freed: the records' memory belongs to whoever gave dd_info.alloc (the
 * fuzz targets release it as a whole). For tests and fuzz targets only. */
void reset_caches();

} // namespace qpd

#endif
