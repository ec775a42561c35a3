/*
 * accessors.cpp: one get or set function per crate object, each binding one
 * catalogue object to one typed transfer. The definitions come from the rows
 * of accessors.def, one function per row.
 *
 * A row index is used exactly as passed when it lies inside its table (empty
 * rows included: the transfer decides what an untranslated identifier gives);
 * outside the table the accessor sends nothing and returns its failure value.
 */
#include <cstdio>

#include "catalogue.h"

namespace {

/* True when row lies in a table of rows entries; otherwise says so on
 * standard error, naming the accessor and the index. */
bool inTable(const char* accessor, const char* index, int row, int rows)
{
    if (row >= 0 && row < rows)
        return true;
    fprintf(stderr, "%s: %s %d is outside the table (0 to %d), nothing sent\n", accessor, index, row, rows - 1);
    return false;
}

}  // namespace

#define GET(function, result, transfer, Object)                                             \
    result function(HSNMP m_sessp)                                                          \
    {                                                                                       \
        return static_cast<result>(transfer(m_sessp, oid##Object, length##Object));         \
    }
#define GET_ROW(function, result, transfer, Object, index, rows)                            \
    result function(HSNMP m_sessp, int index)                                               \
    {                                                                                       \
        if (!inTable(#function, #index, index, rows))                                       \
            return static_cast<result>(0);                                                  \
        return static_cast<result>(transfer(m_sessp, oid##Object[index], length##Object[index])); \
    }
#define SET(function, result, transfer, Object, type)                                       \
    result function(HSNMP m_sessp, type value)                                              \
    {                                                                                       \
        return transfer(m_sessp, oid##Object, length##Object, value);                       \
    }
#define SET_ROW(function, result, transfer, Object, index, rows, type)                      \
    result function(HSNMP m_sessp, int index, type value)                                   \
    {                                                                                       \
        if (!inTable(#function, #index, index, rows))                                       \
            return static_cast<result>(0);                                                  \
        return transfer(m_sessp, oid##Object[index], length##Object[index], value);         \
    }
#define SET_CONST(function, result, transfer, Object, constant)                             \
    result function(HSNMP m_sessp)                                                          \
    {                                                                                       \
        return transfer(m_sessp, oid##Object, length##Object, constant);                    \
    }
#include "accessors.def"
