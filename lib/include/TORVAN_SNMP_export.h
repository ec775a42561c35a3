/*
 * TORVAN_SNMP_export.h: TORVAN_SNMP_API, the mark of the library's interface
 * in both of its headers: the shared library exports these declarations and
 * nothing else. A program linking the static library on Windows is given
 * TORVAN_SNMP_STATIC by the library's build files.
 */
#ifndef TORVAN_SNMP_EXPORT_H
#define TORVAN_SNMP_EXPORT_H

#if defined(_WIN32)
#if defined(TORVAN_SNMP_BUILDING)
#define TORVAN_SNMP_API __declspec(dllexport)
#elif defined(TORVAN_SNMP_STATIC)
#define TORVAN_SNMP_API
#else
#define TORVAN_SNMP_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define TORVAN_SNMP_API __attribute__((visibility("default")))
#else
#define TORVAN_SNMP_API
#endif

#endif /* TORVAN_SNMP_EXPORT_H */
