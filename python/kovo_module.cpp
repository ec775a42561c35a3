// kovo_module.cpp: This file contains the Python module kovo over the
// library's scripting session (kovo_crate.h): Crate (a session named by its
// address), its channels with their objects as attributes, bulk tables,
// writes of many rows, set-and-wait, the status bits as an IntFlag, and
// KovoError, raised with host, object and reason for every failed exchange.
//
// The interpreter lock is released while a crate is waited for; a lock of
// each crate's own keeps its session to one thread at a time.
#include <cmath>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "kovo_crate.h"
#include "output_status.h"
#include "ramp.h"
#include "rows.h"

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
    case KOVO_INTERRUPTED: return "interrupted";
    default: return "success";
    }
}

PyObject* kovoError = nullptr;  // the module's exception class
py::object outputStatusFlag;    // kovo.OutputStatus
py::object systemStatusFlag;    // kovo.SysStatus

// Text from the library or the crate as a str: bytes that are no UTF-8 (a
// message cut inside a character) become U+FFFD rather than an error of their own.
py::str decoded(const std::string& text)
{
    return py::reinterpret_steal<py::str>(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// Raises KovoError(message) with the attributes host, object, reason, kind,
// channels (those it names), written and not_written (for writes of many rows).
[[noreturn]] void raise(const std::string& host, const std::string& object, const std::string& reason,
                        const std::string& kind, const std::vector<int>& channels = {},
                        const std::vector<int>& written = {}, const std::vector<int>& notWritten = {})
{
    const std::string described = kovo_rows::describedObject(object);
    const std::string message = host + ": " + (described.empty() ? "" : described + ": ") + reason;
    py::object error = py::reinterpret_borrow<py::object>(kovoError)(decoded(message));
    error.attr("host") = decoded(host);
    error.attr("object") = decoded(object);
    error.attr("reason") = decoded(reason);
    error.attr("kind") = kind;
    error.attr("channels") = channels;
    error.attr("written") = written;
    error.attr("not_written") = notWritten;
    PyErr_SetObject(kovoError, error.ptr());
    throw py::error_already_set();
}

// A value of the crate's as a Python int, float or str (None for no value):
// a Float as the shortest decimal of its single-precision number, outputStatus
// as an OutputStatus and sysStatus as a SysStatus.
py::object toPython(const kovoValue& value, int object)
{
    switch (value.type) {
    case KOVO_INTEGER:
        if (object == kovoObject("outputStatus"))
            return outputStatusFlag(value.integer);
        if (object == kovoObject("sysStatus"))
            return systemStatusFlag(value.integer);
        return py::int_(value.integer);
    case KOVO_FLOAT: return py::float_(kovo_rows::shortest(value.number));
    case KOVO_TEXT: return decoded(std::string(value.text, value.length));
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

// A Python value for an object of the crate, as a kovoValue (a text's bytes in `text`).
kovoValue toValue(const std::string& name, int object, const py::object& given, std::string* text)
{
    kovoValue value{};
    value.type = kovoObjectType(object);
    switch (value.type) {
    case KOVO_INTEGER:
        if (!py::isinstance<py::int_>(given))
            throw py::type_error(name + " takes an int");
        value.integer = given.cast<long>();
        value.number = static_cast<double>(value.integer);
        break;
    case KOVO_FLOAT:
        if (!py::isinstance<py::int_>(given) && !py::isinstance<py::float_>(given))
            throw py::type_error(name + " takes a number");
        value.number = given.cast<double>();
        break;
    default:
        if (!py::isinstance<py::str>(given))
            throw py::type_error(name + " takes a str");
        *text = given.cast<std::string>();
        value.text = text->data();
        value.length = text->size();
        break;
    }
    return value;
}

// A finite number within (low, high], or ValueError naming what it is.
double checked(const char* what, double number, double low, double high)
{
    if (!(std::isfinite(number) && number > low && number <= high))
        throw py::value_error(std::string(what) + " must be a number above " + std::to_string(low) + " up to " +
                              std::to_string(high));
    return number;
}

// Rows as a script gives them: a selection ("slot 1", "0-7,on") or channel indices.
using Rows = std::variant<std::string, std::vector<int>>;

class Crate {
public:
    Crate(const std::string& address, std::optional<std::string> readCommunity,
          std::optional<std::string> writeCommunity, std::optional<double> timeout, std::optional<int> retries)
        : address_(address)
    {
        if (timeout)
            checked("timeout", *timeout, 0, 3600);
        if (retries && (*retries < 0 || *retries > 100))
            throw py::value_error("retries must be from 0 to 100");
        for (const auto* community : {&readCommunity, &writeCommunity})
            if (*community && (*community)->empty())
                throw py::value_error("an empty community is refused: name the community");
        for (const std::string* text : std::initializer_list<const std::string*>{
                 &address, readCommunity ? &*readCommunity : nullptr, writeCommunity ? &*writeCommunity : nullptr})
            if (text && text->find('\0') != std::string::npos)
                throw py::value_error("an address or community with a NUL character is refused");
        char error[256] = "";
        {
            py::gil_scoped_release release;  // opening may look the host name up
            crate_ = kovoOpen(address.c_str(), readCommunity ? readCommunity->c_str() : nullptr,
                              writeCommunity ? writeCommunity->c_str() : nullptr, timeout.value_or(0),
                              retries.value_or(-1), error, sizeof error);
        }
        if (crate_ == nullptr)
            raise(address, "", error, "refused");
        kovoSetInterruptCheck(crate_, &Crate::interrupted, this);
    }
    ~Crate()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        kovoFree(crate_);
    }
    Crate(const Crate&) = delete;
    Crate& operator=(const Crate&) = delete;

    void close()
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(mutex_);
        kovoFree(crate_);
        crate_ = nullptr;
    }

    const std::string& address() const { return address_; }

    py::object get(const std::string& name, int row)
    {
        const int object = objectNamed(name);
        kovoValue value{};
        if (!call([&](kovoCrate* c) { return kovoGet(c, object, row, &value); }))
            fail(false);
        py::object result = toPython(value, object);
        kovoFreeValue(&value);
        return result;
    }

    py::object set(const std::string& name, const py::object& given, int row)
    {
        const int object = objectNamed(name);
        std::string text;
        const kovoValue value = toValue(name, object, given, &text);
        kovoValue echo{};
        if (!call([&](kovoCrate* c) { return kovoSet(c, object, row, &value, &echo); }))
            fail(true);
        py::object result = toPython(echo, object);
        kovoFreeValue(&echo);
        return result;
    }

    py::dict scalars()
    {
        const std::vector<int> objects = kovo_rows::crateWideObjects();
        std::vector<kovoValue> values(objects.size(), kovoValue{});
        if (!call([&](kovoCrate* c) {
                return kovoReadScalars(c, objects.data(), static_cast<int>(objects.size()), values.data());
            }))
            fail(false);
        py::dict result;
        for (size_t i = 0; i < objects.size(); ++i) {
            result[kovoObjectName(objects[i])] = toPython(values[i], objects[i]);
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
        kovo_rows::Table table = read(objects);
        py::list rows;
        for (int r = 0; r < table.rows(); ++r) {
            py::dict row;
            row["channel"] = table.channel(r);
            for (size_t c = 0; c < objects.size(); ++c)
                row[py::str(names[c])] = toPython(*table.value(r, objects[c]), objects[c]);
            rows.append(row);
        }
        return asArray ? toArray(rows, names, objects) : py::object(rows);
    }

    // The present channels, ascending, in one bulk read.
    std::vector<int> present()
    {
        kovo_rows::Table table = read({kovoObject("outputStatus")});
        std::vector<int> channels;
        for (int r = 0; r < table.rows(); ++r)
            channels.push_back(table.channel(r));
        return channels;
    }

    // Channel i, checked with one get: a KovoError naming it when the crate does not have it.
    void checkChannel(int channel)
    {
        if (channel < 0 || channel >= kovo_rows::channelRows)
            raise(address_, "", "channel " + std::to_string(channel) + " is outside 0 to 999", "refused", {channel});
        kovoValue value{};
        const int object = kovoObject("outputStatus");
        if (call([&](kovoCrate* c) { return kovoGet(c, object, channel, &value); }))
            return kovoFreeValue(&value);
        if (kovoLastOutcome(crate_)->kind != KOVO_NO_SUCH)
            fail(false);
        raise(address_, "", kovo_rows::absentChannel(channel), "no such instance", {channel});
    }

    // The channels rows name: a selection resolved against one bulk read, or
    // the indices as given.
    std::vector<int> select(const Rows& rows)
    {
        if (const auto* list = std::get_if<std::vector<int>>(&rows))
            return *list;
        try {
            const kovo_rows::Selection selection = kovo_rows::parseSelection(std::get<std::string>(rows));
            std::vector<int> columns = kovo_rows::stateColumns();
            const kovo_rows::Table table = read(columns);
            return kovo_rows::resolve(selection, &table).channels;
        } catch (const kovo_rows::SelectionError& e) {
            raise(address_, "", e.message, "refused");
        }
    }

    py::dict setMany(const std::string& name, const Rows& rows, const py::object& given)
    {
        const int object = objectNamed(name);
        std::string text;
        const kovoValue value = toValue(name, object, given, &text);
        const std::vector<int> channels = select(rows);
        kovo_rows::Writes writes;
        call([&](kovoCrate* c) {
            writes = kovo_rows::writeRows(c, object, channels, std::vector<kovoValue>(channels.size(), value));
            return true;
        });
        if (writes.refused)
            raise(address_, writes.refusal.object, kovo_rows::reasonOf(writes.refusal, false),
                   kindName(writes.refusal.kind));
        py::dict echoes;
        std::vector<int> written, notWritten;
        const kovo_rows::RowWrite* first = nullptr;  // the first row not written
        for (const kovo_rows::RowWrite& row : writes.rows) {
            (row.written ? written : notWritten).push_back(row.row);
            if (row.written)
                echoes[py::int_(row.row)] = toPython(row.echo, object);
            else if (first == nullptr)
                first = &row;
        }
        if (first != nullptr)
            raise(address_, first->outcome.object,
                   kovo_rows::reasonOf(first->outcome, true) + "; not written: " + kovo_rows::channelList(notWritten),
                   kindName(first->outcome.kind), notWritten, written, notWritten);
        return echoes;
    }

    py::dict ramp(const Rows& rows, double voltage, double tolerance, double timeout, std::optional<double> step)
    {
        kovo_rows::RampOptions options;
        options.tolerance = checked("tolerance", tolerance, 0, 1000);
        options.timeout = checked("timeout", timeout, 0, 86400);
        options.step = step ? checked("step", *step, 0, 1000) : 0;
        if (!std::isfinite(voltage))
            throw py::value_error("voltage must be a finite number");
        options.between = [] {
            py::gil_scoped_acquire acquire;
            if (PyErr_CheckSignals() != 0)
                throw py::error_already_set();
        };
        const std::vector<int> channels = select(rows);
        kovo_rows::RampResult result;
        call([&](kovoCrate* c) {
            result = kovo_rows::ramp(c, channels, voltage, options);
            return true;
        });
        using kovo_rows::RampEnd;
        switch (result.end) {
        case RampEnd::reached: break;
        case RampEnd::readFailed:
            raise(address_, result.outcome.object, kovo_rows::reasonOf(result.outcome, false),
                   kindName(result.outcome.kind));
        case RampEnd::refused:
            raise(address_, result.writes.refusal.object, result.writes.refusal.reason, "refused");
        case RampEnd::writeFailed:
            for (const kovo_rows::RowWrite& row : result.writes.rows)
                if (!row.written)
                    raise(address_, row.outcome.object, kovo_rows::reasonOf(row.outcome, true),
                           kindName(row.outcome.kind), {row.row});
            break;
        default: {
            const char* kind = result.end == RampEnd::tripped       ? "tripped"
                               : result.end == RampEnd::timedOut    ? "not reached"
                               : result.end == RampEnd::absent      ? "no such instance"
                                                                    : "switched off";
            raise(address_, "", result.message, kind, result.channels);
        }
        }
        py::dict senses;
        for (const kovo_rows::RampReading& reading : result.readings)
            senses[py::int_(reading.channel)] = py::float_(kovo_rows::shortest(reading.sense));
        return senses;
    }

private:
    // Runs f on the open session with the interpreter lock released and the
    // crate's own lock held; raises what a signal handler raised meanwhile.
    template <class F>
    bool call(F f)
    {
        bool done = false;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex_);
            if (crate_ == nullptr)
                throw py::value_error("the crate " + address_ + " is closed");
            done = f(crate_);
        }
        if (interruption_) {
            py::error_already_set raised = std::move(*interruption_);
            interruption_.reset();
            throw raised;
        }
        return done;
    }

    // Between two attempts of an exchange: the interpreter's signal handlers
    // run (Ctrl-C raises KeyboardInterrupt), and one that raised stops the
    // exchange, its exception kept for call to raise.
    static int interrupted(void* data)
    {
        auto* crate = static_cast<Crate*>(data);
        py::gil_scoped_acquire acquire;
        if (PyErr_CheckSignals() == 0)
            return 0;
        crate->interruption_.emplace();
        return 1;
    }

    kovo_rows::Table read(const std::vector<int>& objects)
    {
        kovo_rows::Table table;
        if (!call([&](kovoCrate* c) { return table.read(c, objects); }))
            fail(false);
        return table;
    }

    [[noreturn]] void fail(bool write)
    {
        const kovoOutcome* outcome = kovoLastOutcome(crate_);
        raise(address_, outcome->object, kovo_rows::reasonOf(*outcome, write), kindName(outcome->kind));
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
    std::mutex mutex_;
    std::optional<py::error_already_set> interruption_;  // raised by a signal handler between attempts
};

// One channel of a crate: its objects as attributes.
struct Channel {
    py::object crate;  // keeps the crate alive
    int index;

    Crate& session() const { return crate.cast<Crate&>(); }
};

// The channels of a crate: the present ones, and channel i by its index.
struct Channels {
    py::object crate;

    Crate& session() const { return crate.cast<Crate&>(); }
};

// The object a channel attribute stands for: a channel object by its MIB
// name or its short name for scripts ("voltage").
const char* objectOfAttribute(const std::string& attribute)
{
    const int object = kovoObject(attribute.c_str());
    if (object >= 0 && kovoObjectRows(object) == kovo_rows::channelRows)
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
                                          "A failed exchange with a crate, or a ramp stopped: host, object, reason, "
                                          "kind, and the channels concerned.",
                                          PyExc_RuntimeError, nullptr);
    m.add_object("KovoError", py::handle(kovoError));

    py::list outputBits, systemBits;
#define KOVO_OUTPUT_BIT(bit, name, label) outputBits.append(py::make_tuple(#name, 1L << (bit)));
#define KOVO_SYSTEM_BIT(bit, name, label) systemBits.append(py::make_tuple(#name, 1L << (bit)));
    TORVAN_OUTPUT_STATUS_BITS(KOVO_OUTPUT_BIT)
    TORVAN_SYSTEM_STATUS_BITS(KOVO_SYSTEM_BIT)
#undef KOVO_OUTPUT_BIT
#undef KOVO_SYSTEM_BIT
    const py::object intFlag = py::module_::import("enum").attr("IntFlag");
    outputStatusFlag = intFlag("OutputStatus", outputBits, py::arg("module") = "kovo");
    outputStatusFlag.attr("__doc__") = "The bits of a channel's outputStatus; the failure bits latch until the "
                                       "channel is switched on again.";
    m.add_object("OutputStatus", outputStatusFlag);
    systemStatusFlag = intFlag("SysStatus", systemBits, py::arg("module") = "kovo");
    systemStatusFlag.attr("__doc__") = "The bits of the crate's sysStatus.";
    m.add_object("SysStatus", systemStatusFlag);
    // The module's globals outlive the interpreter's own clean-up otherwise.
    m.add_object("_cleanup", py::capsule([] {
                     outputStatusFlag.release();
                     systemStatusFlag.release();
                 }));

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

    py::class_<Channels>(m, "Channels", "The present channels of a crate; channels[i] is channel index i")
        .def("__getitem__",
             [](const Channels& c, int index) {
                 c.session().checkChannel(index);
                 return Channel{c.crate, index};
             })
        .def("__iter__",
             [](const Channels& c) {
                 py::list channels;
                 for (int index : c.session().present())
                     channels.append(Channel{c.crate, index});
                 return channels.attr("__iter__")();
             })
        .def("__len__", [](const Channels& c) { return c.session().present().size(); })
        .def("__contains__", [](const Channels& c, int index) {
            const std::vector<int> present = c.session().present();
            return std::find(present.begin(), present.end(), index) != present.end();
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
        .def_property_readonly("channels", [](py::object self) { return Channels{self}; })
        .def("get", &Crate::get, py::arg("object"), py::arg("row") = 0,
             "reads one object: a crate-wide one, or row `row` of a table")
        .def("set", &Crate::set, py::arg("object"), py::arg("value"), py::arg("row") = 0,
             "writes one object after checking it against the crate's limits; returns the crate's echo")
        .def("select", &Crate::select, py::arg("rows"),
             "the present channels a selection names (\"0-7,12\", \"slot 1\", \"all\", \"on\", \"off\", "
             "\"tripped\"), in one bulk read; a list of indices is taken as given")
        .def("set_many", &Crate::setMany, py::arg("object"), py::arg("rows"), py::arg("value"),
             "writes one value to many channels, all checked first, in SET requests of many channels; returns "
             "{channel: echo}, or raises KovoError with written and not_written (a request the crate refuses "
             "leaves all its channels unwritten)")
        .def("ramp", &Crate::ramp, py::arg("rows"), py::arg("voltage"), py::kw_only(), py::arg("tolerance") = 0.1,
             py::arg("timeout") = 300.0, py::arg("step") = py::none(),
             "writes the set voltage and waits until every channel's sense voltage is within tolerance; raises "
             "KovoError naming the channels when one trips or is switched off, or at the timeout of a step; "
             "returns {channel: sense voltage}")
        .def("scalars", &Crate::scalars, "every crate-wide object, read in one get")
        .def("table", &Crate::table, py::arg("objects"), py::kw_only(), py::arg("numpy") = false,
             "the objects of every present channel in bulk: a list of dicts, or a NumPy structured array")
        .def("close", &Crate::close)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__", [](Crate& c, py::args) { c.close(); });
}
