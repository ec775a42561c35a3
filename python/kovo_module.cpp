// kovo_module.cpp: This file contains the Python module kovo over the
// library's scripting session (kovo_crate.h): Crate (a session named by its
// address), its channels with their objects as attributes, bulk tables, and
// KovoError, raised with host, object and reason for every failed exchange.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "kovo_crate.h"

namespace py = pybind11;

namespace {

// The names of the outcome kinds, as KovoError.kind gives them.
const char* kindName(int kind)
{
    switch (kind) {
    case KOVO_REFUSED: return "refused";
    case KOVO_TIMEOUT: return "timeout";
    case KOVO_SEND_FAILED: return "send failed";
    case KOVO_ERROR_STATUS: return "error status";
    case KOVO_OTHER_OBJECT: return "other object";
    case KOVO_WRONG_TYPE: return "wrong type";
    case KOVO_NO_SUCH: return "no such instance";
    default: return "success";
    }
}

PyObject* kovoError = nullptr;  // the module's exception class

// Raises KovoError(message) with the attributes host, object, reason, kind.
[[noreturn]] void raise(const std::string& host, const std::string& object, const std::string& reason,
                        const std::string& kind)
{
    const std::string message = host + ": " + (object.empty() ? "" : object + ": ") + reason;
    py::object error = py::reinterpret_borrow<py::object>(kovoError)(message);
    error.attr("host") = host;
    error.attr("object") = object;
    error.attr("reason") = reason;
    error.attr("kind") = kind;
    PyErr_SetObject(kovoError, error.ptr());
    throw py::error_already_set();
}

// A value of the crate's as a Python int, float or str (None for no value).
py::object toPython(const kovoValue& value)
{
    switch (value.type) {
    case KOVO_INTEGER: return py::int_(value.integer);
    case KOVO_FLOAT: return py::float_(value.number);
    case KOVO_TEXT:
        return py::reinterpret_steal<py::object>(
            PyUnicode_DecodeUTF8(value.text, static_cast<Py_ssize_t>(value.length), "replace"));
    default: return py::none();
    }
}

int objectNamed(const std::string& name)
{
    const int object = kovoObject(name.c_str());
    if (object < 0)
        throw py::value_error("no crate object named \"" + name + "\"");
    return object;
}

class Crate {
public:
    Crate(const std::string& address, std::optional<std::string> readCommunity,
          std::optional<std::string> writeCommunity, std::optional<double> timeout, std::optional<int> retries)
        : address_(address)
    {
        if (timeout && !(*timeout > 0))
            throw py::value_error("timeout must be a positive number of seconds");
        if (retries && *retries < 0)
            throw py::value_error("retries must not be negative");
        char error[256];
        crate_ = kovoOpen(address.c_str(), readCommunity ? readCommunity->c_str() : nullptr,
                          writeCommunity ? writeCommunity->c_str() : nullptr, timeout.value_or(0), retries.value_or(-1),
                          error, sizeof error);
        if (crate_ == nullptr)
            raise(address, "", error, "refused");
    }
    ~Crate() { close(); }
    Crate(const Crate&) = delete;
    Crate& operator=(const Crate&) = delete;

    void close()
    {
        kovoFree(crate_);
        crate_ = nullptr;
    }

    const std::string& address() const { return address_; }

    py::object get(const std::string& name, int row)
    {
        kovoValue value{};
        if (!kovoGet(open(), objectNamed(name), row, &value))
            fail();
        py::object result = toPython(value);
        kovoFreeValue(&value);
        return result;
    }

    py::object set(const std::string& name, const py::object& given, int row)
    {
        const int object = objectNamed(name);
        kovoValue value{};
        std::string text;
        switch (kovoObjectType(object)) {
        case KOVO_INTEGER:
            if (!py::isinstance<py::int_>(given))
                throw py::type_error(name + " takes an int");
            value.integer = given.cast<long>();
            break;
        case KOVO_FLOAT:
            if (!py::isinstance<py::int_>(given) && !py::isinstance<py::float_>(given))
                throw py::type_error(name + " takes a number");
            value.number = given.cast<double>();
            break;
        default:
            if (!py::isinstance<py::str>(given))
                throw py::type_error(name + " takes a str");
            text = given.cast<std::string>();
            value.text = text.data();
            value.length = text.size();
            break;
        }
        kovoValue echo{};
        if (!kovoSet(open(), object, row, &value, &echo))
            fail();
        py::object result = toPython(echo);
        kovoFreeValue(&echo);
        return result;
    }

    py::dict scalars()
    {
        std::vector<int> objects;
        for (int i = 0; i < kovoObjectCount(); ++i)
            if (kovoObjectRows(i) == 0)
                objects.push_back(i);
        std::vector<kovoValue> values(objects.size(), kovoValue{});
        if (!kovoReadScalars(open(), objects.data(), static_cast<int>(objects.size()), values.data()))
            fail();
        py::dict result;
        for (size_t i = 0; i < objects.size(); ++i) {
            result[kovoObjectName(objects[i])] = toPython(values[i]);
            kovoFreeValue(&values[i]);
        }
        return result;
    }

    py::object table(const std::vector<std::string>& names, bool asArray)
    {
        std::vector<int> objects;
        for (const std::string& name : names)
            objects.push_back(objectNamed(name));
        if (asArray)  // before reading: a missing NumPy costs no exchange
            py::module_::import("numpy");
        kovoTable* table = kovoReadColumns(open(), objects.data(), static_cast<int>(objects.size()));
        if (table == nullptr)
            fail();
        py::list rows;
        for (int r = 0; r < table->rows; ++r) {
            py::dict row;
            row["channel"] = table->channels[r];
            for (int c = 0; c < table->columns; ++c)
                row[py::str(names[static_cast<size_t>(c)])] = toPython(table->values[r * table->columns + c]);
            rows.append(row);
        }
        kovoFreeTable(table);
        return asArray ? toArray(rows, names, objects) : py::object(rows);
    }

private:
    kovoCrate* open()
    {
        if (crate_ == nullptr)
            throw py::value_error("the crate " + address_ + " is closed");
        return crate_;
    }

    [[noreturn]] void fail()
    {
        const kovoOutcome* outcome = kovoLastOutcome(crate_);
        raise(address_, outcome->object, outcome->reason, kindName(outcome->kind));
    }

    // Rows as a NumPy structured array: Float columns float64, integer columns
    // int64 (float64 with NaN where a channel has no value), texts objects.
    static py::object toArray(const py::list& rows, const std::vector<std::string>& names,
                              const std::vector<int>& objects)
    {
        py::module_ numpy = py::module_::import("numpy");
        py::list dtype;
        dtype.append(py::make_tuple("channel", "i8"));
        for (size_t c = 0; c < names.size(); ++c) {
            const int type = kovoObjectType(objects[c]);
            bool gaps = false;
            for (const py::handle row : rows)
                gaps = gaps || row[py::str(names[c])].is_none();
            const char* kind = type == KOVO_TEXT ? "O" : type == KOVO_INTEGER && !gaps ? "i8" : "f8";
            dtype.append(py::make_tuple(names[c], kind));
        }
        py::list records;
        for (const py::handle row : rows) {
            py::list record;
            record.append(row["channel"]);
            for (size_t c = 0; c < names.size(); ++c) {
                py::object v = row[py::str(names[c])];
                record.append(v.is_none() && kovoObjectType(objects[c]) != KOVO_TEXT ? py::float_(NAN) : v);
            }
            records.append(py::tuple(record));
        }
        return numpy.attr("array")(records, py::arg("dtype") = dtype);
    }

    std::string address_;
    kovoCrate* crate_ = nullptr;
};

// One channel of a crate: its objects as attributes.
struct Channel {
    py::object crate;  // keeps the crate alive
    int index;

    Crate& session() const { return crate.cast<Crate&>(); }
};

// The object a channel attribute stands for: a channel object by its MIB
// name or its short name for scripts ("voltage").
const char* objectOfAttribute(const std::string& attribute)
{
    const int object = kovoObject(attribute.c_str());
    if (object >= 0 && kovoObjectRows(object) == 1000)
        return kovoObjectName(object);
    throw py::attribute_error("a channel has no attribute \"" + attribute + "\"");
}

}  // namespace

PYBIND11_MODULE(kovo, m)
{
    m.doc() = "The crate of power-supply modules from Python: Crate(\"host:port\"), its channels and bulk tables.";
    char error[256];
    if (!kovoInit(error, sizeof error))
        throw py::import_error(std::string("kovo: ") + error);

    kovoError = PyErr_NewExceptionWithDoc("kovo.KovoError",
                                          "A failed exchange with a crate: host, object, reason and kind.",
                                          PyExc_RuntimeError, nullptr);
    m.add_object("KovoError", py::handle(kovoError));

    py::class_<Channel>(m, "Channel", "One channel of a crate; its objects are attributes (voltage, switch, ...)")
        .def_readonly("index", &Channel::index, "the channel index: 100 x slot + channel in slot")
        .def("get", [](const Channel& c, const std::string& object) { return c.session().get(object, c.index); },
             py::arg("object"), "reads one object of the channel by its MIB name")
        .def("set",
             [](const Channel& c, const std::string& object, const py::object& value) {
                 return c.session().set(object, value, c.index);
             },
             py::arg("object"), py::arg("value"), "writes one object of the channel; returns the crate's echo")
        .def("__getattr__",
             [](const Channel& c, const std::string& attribute) {
                 return c.session().get(objectOfAttribute(attribute), c.index);
             })
        .def("__setattr__",
             [](const Channel& c, const std::string& attribute, const py::object& value) {
                 c.session().set(objectOfAttribute(attribute), value, c.index);
             })
        .def("__repr__", [](const Channel& c) {
            return "<kovo.Channel " + std::to_string(c.index) + " of " + c.session().address() + ">";
        });

    py::class_<Crate>(m, "Crate", "A session to one crate, named by its address; closed by close() or a with block")
        .def(py::init<const std::string&, std::optional<std::string>, std::optional<std::string>,
                      std::optional<double>, std::optional<int>>(),
             py::arg("address"), py::kw_only(), py::arg("read_community") = py::none(),
             py::arg("write_community") = py::none(), py::arg("timeout") = py::none(),
             py::arg("retries") = py::none())
        .def_property_readonly("address", &Crate::address)
        .def_property(
            "main_switch", [](Crate& c) { return c.get("sysMainSwitch", 0); },
            [](Crate& c, const py::object& value) { c.set("sysMainSwitch", value, 0); })
        .def_property_readonly("channels",
                               [](py::object self) {
                                   py::module_ m = py::module_::import("kovo");
                                   return m.attr("_Channels")(self);
                               })
        .def("get", &Crate::get, py::arg("object"), py::arg("row") = 0,
             "reads one object: a crate-wide one, or row `row` of a table")
        .def("set", &Crate::set, py::arg("object"), py::arg("value"), py::arg("row") = 0,
             "writes one object after checking it against the crate's limits; returns the crate's echo")
        .def("scalars", &Crate::scalars, "every crate-wide object, read in one get")
        .def("table", &Crate::table, py::arg("objects"), py::kw_only(), py::arg("numpy") = false,
             "the objects of every present channel in bulk: a list of dicts, or a NumPy structured array")
        .def("close", &Crate::close)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Crate& c, py::args) { c.close(); });

    // Indexing the channels: crate.channels[3] is channel 3 (slot 0, channel 3).
    struct Channels {
        py::object crate;
    };
    py::class_<Channels>(m, "_Channels")
        .def(py::init([](py::object crate) { return Channels{crate}; }))
        .def("__getitem__",
             [](const Channels& c, int index) {
                 if (index < 0 || index >= 1000)
                     throw py::index_error("channel " + std::to_string(index) + " is outside 0 to 999");
                 return Channel{c.crate, index};
             })
        .def("__len__", [](const Channels&) { return 1000; });
}
