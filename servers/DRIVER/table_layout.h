/*
 * table_layout.h: how a received table definition is stored in a database,
 * independent of the database system: the table's name, one column per
 * stored column element with a portable kind, the indexes, and the
 * conversions between row buffers (and key blocks) and database values.
 */
#ifndef DRIVER_TABLE_LAYOUT_H
#define DRIVER_TABLE_LAYOUT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tdb_commu.h"

struct rds_col;

namespace tdbdriver {

/* The portable kind of a database column. */
enum class Kind {
    Integer, /* 64-bit signed integer */
    Real,    /* IEEE double */
    Text,    /* UTF-8 text */
    Bytes,   /* byte string (BLOB, bytea) */
};

/* One database value; null only for the exact-image column tdb_row. */
struct Value {
    Kind kind = Kind::Integer;
    bool null = false;
    std::int64_t integer = 0;
    double real = 0;
    std::string text; /* Text: UTF-8; Bytes: the bytes */

    static Value of_integer(std::int64_t v);
    static Value of_real(double v);
    static Value of_text(std::string v);
    static Value of_bytes(std::string v);
    static Value null_of(Kind k);
    bool operator==(const Value &o) const;
};

/* What a database system keeps of a value exactly. A value it would lose
 * sends its row to the exact-image column. */
struct BackendTraits {
    bool keeps_negative_zero = false; /* -0.0 read back as -0.0 */
    bool keeps_nan = false;           /* NaN read back with its payload */
    bool keeps_infinity = true;       /* +inf and -inf read back */
};

/* One database column: one element of a stored column. */
struct LayoutColumn {
    std::string name;   /* database name (unquoted): field, or field_<n> */
    Kind kind = Kind::Integer;
    int tdb_type = 0;   /* TDB_BYTE .. TDB_RAW */
    int offset = 0;     /* of the element in the row buffer */
    int width = 0;      /* bytes of the element */
    int source = 0;     /* position of the column in the definition */
    int element = 0;    /* element number from 0 */
};

/* One database index: a key of the definition with A attribute not 0. */
struct LayoutIndex {
    int keynr = 0;
    bool unique = true;        /* duplicates not allowed (DU attribute 0) */
    bool in_database = true;   /* A attribute not 0 */
    std::string name;          /* database name: <table>_i<keynr> */
    std::vector<int> columns;  /* positions in TableLayout::columns() */
};

/* The exact-image column: the row's stored bytes when some value of the
 * row has no exact database form, else null. */
constexpr const char *kRowImageColumn = "tdb_row";

class TableLayout {
public:
    /*
     * Builds the layout of a definition for a physical company number
     * (0..999). False with a reason in *error for a definition the driver
     * cannot store (bad name, unknown type, column outside the row, a key
     * part out of range, clashing column names).
     */
    bool build(const commu_dd_desc &dd, int compnr, std::string *error);

    /* "<table code in lower case>_<compnr as 3 digits>", e.g. dbtst100_000. */
    const std::string &table_name() const { return table_name_; }
    /* The table code as received (the first letter in upper case for the
     * new dictionary) and the company. */
    const std::string &table_code() const { return code_; }
    int compnr() const { return compnr_; }
    const std::vector<LayoutColumn> &columns() const { return columns_; }
    /* Every key of the definition (also those with A attribute 0, which
     * are not created in the database but still name the lookup key). */
    const std::vector<LayoutIndex> &indexes() const { return indexes_; }
    /* Key 1 (reads by key, update and delete), or null without one. */
    const LayoutIndex *primary() const;
    const LayoutIndex *index(int keynr) const;
    /* End of the last stored column; the row length is that plus 6
     * (_dlock and _compnr). */
    int data_length() const { return data_length_; }
    int row_length() const { return data_length_ + 6; }
    /* Bytes of the key block of a key: the sum of its parts' widths. */
    int key_length(int keynr) const;

    /* The definition's stored columns as update-store descriptors: the
     * three action longs at 0, 4, 8 and every stored column at 12 + its
     * offset, in offset order (record length 12 + row_length()). */
    std::vector<rds_col> update_store_columns() const;

    /*
     * Row buffer (at least data_length() bytes) to one value per column.
     * When a value has no exact form under traits, *image receives the
     * stored bytes of the row (data_length() bytes, bytes of columns that
     * are not stored set to 0) and the value holds the nearest form;
     * otherwise *image is emptied.
     */
    void row_to_values(const unsigned char *row, const BackendTraits &traits,
                       std::vector<Value> *values, std::string *image) const;
    /*
     * Values (one per column) and the exact image (empty when null) to a
     * row buffer of row_length() bytes: the image when given, else each
     * value; _dlock 0 and _compnr the company. False with a reason when a
     * value does not fit its column (wrong kind, out of range, text that
     * is not UTF-8 or too long, an image of another length).
     */
    bool values_to_row(const std::vector<Value> &values, std::string_view image,
                       unsigned char *row, std::string *error) const;
    /*
     * A key block (the key's parts one after another) to the values of
     * the key's columns. *exact becomes false when a part has no exact
     * form (the values then find candidates only). False when the block
     * has another length or the key is unknown.
     */
    bool key_to_values(int keynr, const unsigned char *key, size_t length,
                       const BackendTraits &traits, std::vector<Value> *values,
                       bool *exact) const;
    /* The key block of a key taken from a row buffer. */
    std::string key_of_row(int keynr, const unsigned char *row) const;
    /* The value of one column (position in columns()) of a row buffer;
     * *exact false when it has no exact form under traits. */
    Value column_value(size_t column, const unsigned char *row, const BackendTraits &traits,
                       bool *exact) const;
    /* The definition's stored columns as received. */
    const std::vector<commu_dd_column> &definition_columns() const { return source_; }

    /* Every column quoted for SQL, then tdb_row, joined by ", "; made
     * once, since each row written through a statement cache needs it. */
    const std::string &quoted_columns() const { return quoted_columns_; }

    /* An identifier quoted for SQL ("name", inner quotes doubled). */
    static std::string quote(std::string_view name);

private:
    std::string code_;
    std::string table_name_;
    int compnr_ = 0;
    int data_length_ = 0;
    std::vector<LayoutColumn> columns_;
    std::vector<LayoutIndex> indexes_;
    /* Key parts as definition positions (for key blocks). */
    std::vector<std::vector<int>> key_parts_;
    std::vector<commu_dd_column> source_;
    std::string quoted_columns_;
};

/* TSS bytes (len bytes) to UTF-8: true and *out when the text converts
 * and converts back to the same bytes; false otherwise (invalid TSS, a
 * NUL, a character without a code point). */
bool tss_to_utf8_exact(const char *tss, size_t len, std::string *out);
/* UTF-8 to TSS; false for invalid UTF-8. */
bool utf8_to_tss(std::string_view utf8, std::string *out);

} // namespace tdbdriver

#endif
