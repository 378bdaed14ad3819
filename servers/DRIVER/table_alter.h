/*
 * table_alter.h: what changes when a stored table goes from its current
 * definition to a new one (request 15), independent of the database
 * system: the column and index changes, whether the driver can make them
 * in place, and the byte conversion of a row from the old to the new row
 * buffer.
 */
#ifndef DRIVER_TABLE_ALTER_H
#define DRIVER_TABLE_ALTER_H

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "table_layout.h"

namespace tdbdriver {

/* One column as the database describes the stored table. */
struct StoredColumn {
    std::string name;
    std::string type; /* the database's type name */
};

/* The database type of a layout column, as the storage describes it. */
using ColumnTypeOf = std::function<std::string(const LayoutColumn &)>;

/* One column of the new layout and where its values come from. */
struct AlterColumn {
    int from = -1;         /* position in the old layout's columns; -1 added */
    bool renamed = false;  /* kept, under another database name */
    bool retyped = false;  /* kept, its database type changes */
    bool narrowed = false; /* kept, a string or raw column gets narrower */
    Value fill;            /* added: the value of the new default row */
};

struct AlterPlan {
    /* A change the driver does not make in place (answer 3), and why. */
    bool needs_conversion = false;
    std::string why;
    std::vector<AlterColumn> columns;  /* one per column of the new layout */
    std::vector<int> dropped;          /* old columns that are not kept */
    bool columns_changed = false;      /* added, dropped, renamed, retyped */
    bool narrowing = false;            /* some kept column is narrower */
    /* Index names of the old layout to drop and keys of the new one to
     * create (those whose name, uniqueness or columns differ). */
    std::vector<std::string> drop_indexes;
    std::vector<int> create_indexes;
    /* The row buffers differ (offsets, widths, types): exact row images
     * must be rewritten. */
    bool row_layout_changed = false;
};

/*
 * Compares the old and the new layout of one table. default_row is the
 * new definition's default row (at least to.data_length() bytes); the
 * values of added columns come from it. type_of gives the database type
 * of a column, traits what the database keeps exactly (an added column
 * whose default has no exact form cannot be filled in place).
 */
AlterPlan plan_alter(const TableLayout &from, const TableLayout &to,
                     const unsigned char *default_row, const BackendTraits &traits,
                     const ColumnTypeOf &type_of);

/*
 * The row of the new layout for a row of the old one: the default row,
 * every kept column element copied (numbers widened, strings and raw
 * bytes cut or padded with blanks or zero bytes). False with a reason
 * when a value would be lost (a string or raw value longer than its new
 * width). new_row holds to.row_length() bytes.
 */
bool convert_row(const TableLayout &from, const TableLayout &to, const AlterPlan &plan,
                 const unsigned char *old_row, const unsigned char *default_row,
                 unsigned char *new_row, std::string *why);

/* What became of a stored row image given to convert_image. */
enum class ImageConversion {
    Converted, /* new_row holds the row of the new layout */
    WrongSize, /* the image is not as long as the old layout's data */
    ValueLost, /* a value does not fit its new column (convert_row) */
};

/*
 * convert_row for a row image as the row-image column keeps it (the data
 * part of a row of the old layout): the image is placed in a zeroed row
 * of the old layout and converted. *why says what went wrong.
 */
ImageConversion convert_image(const TableLayout &from, const TableLayout &to,
                              const AlterPlan &plan, std::string_view image,
                              const unsigned char *default_row, unsigned char *new_row,
                              std::string *why);

/* Does the stored table have exactly the columns of the layout (and the
 * row-image column), with the layout's database types? (order free,
 * names and types compared without regard to case) */
bool stored_matches(const std::vector<StoredColumn> &stored, const TableLayout &t,
                    const ColumnTypeOf &type_of);

} // namespace tdbdriver

#endif
