/*
 * accessors.cpp: one get or set function per crate object, each binding one
 * catalogue object to one typed transfer. The definitions come from the rows
 * of accessors.def's table, one function per row.
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

#define DEFINE_GET(function, result, transfer, Object)                                             \
    result function(HSNMP m_sessp)                                                          \
    {                                                                                       \
        return static_cast<result>(transfer(m_sessp, oid##Object, length##Object));         \
    }
#define DEFINE_GET_ROW(function, result, transfer, Object, index, rows)                            \
    result function(HSNMP m_sessp, int index)                                               \
    {                                                                                       \
        if (!inTable(#function, #index, index, rows))                                       \
            return static_cast<result>(0);                                                  \
        return static_cast<result>(transfer(m_sessp, oid##Object[index], length##Object[index])); \
    }
#define DEFINE_SET(function, result, transfer, Object, type)                                       \
    result function(HSNMP m_sessp, type value)                                              \
    {                                                                                       \
        return transfer(m_sessp, oid##Object, length##Object, value);                       \
    }
#define DEFINE_SET_ROW(function, result, transfer, Object, index, rows, type)                      \
    result function(HSNMP m_sessp, int index, type value)                                   \
    {                                                                                       \
        if (!inTable(#function, #index, index, rows))                                       \
            return static_cast<result>(0);                                                  \
        return transfer(m_sessp, oid##Object[index], length##Object[index], value);         \
    }
#define DEFINE_SET_CONST(function, result, transfer, Object, constant)                             \
    result function(HSNMP m_sessp)                                                          \
    {                                                                                       \
        return transfer(m_sessp, oid##Object, length##Object, constant);                    \
    }
TORVAN_SNMP_ACCESSORS(DEFINE_GET, DEFINE_GET_ROW, DEFINE_SET, DEFINE_SET_ROW, DEFINE_SET_CONST)
#undef DEFINE_GET
#undef DEFINE_GET_ROW
#undef DEFINE_SET
#undef DEFINE_SET_ROW
#undef DEFINE_SET_CONST
