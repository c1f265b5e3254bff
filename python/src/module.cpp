// travik._travik: the compiled half of the travik Python package. The
// pure-Python layer (the travik package) gives it its public face; this file
// only moves data between Python objects and the C++ cores, with the GIL
// released whenever it waits or copies.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <new>
#include <vector>

#include "device_core.h"
#include "inbox.h"
#include "protocol/switch_value.h"
#include "viewer_core.h"

namespace py = pybind11;
using travik_py::CommandSt;
using travik_py::DeviceCore;
using travik_py::Inbox;
using travik_py::ReceivedImage;
using travik_py::ViewerCore;
using travik_py::WaitResult;

namespace {

// Releases the GIL for its scope. Unlike py::gil_scoped_release its
// destructor may throw: a daemon thread that wants the GIL back while the
// interpreter is finalizing is ended by a forced unwind (pthread_exit), which
// must pass through here instead of terminating the process.
class NoGil {
public:
    NoGil() : m_state(PyEval_SaveThread()) {}
    ~NoGil() noexcept(false) { PyEval_RestoreThread(m_state); }
    NoGil(const NoGil&) = delete;
    NoGil& operator=(const NoGil&) = delete;

private:
    PyThreadState* m_state;
};

// A wait wakes at least this often to let the interpreter run its signal
// handlers (Ctrl-C raises KeyboardInterrupt from the wait).
constexpr auto kSignalSlice = std::chrono::milliseconds(50);
// Timeouts longer than this (seconds) are waits without an end.
constexpr double kForever = 1e8;

// What the waits return to Python when there is no item: see travik/_viewer.py.
enum Status { kTimeout = 0, kClosed = 1, kLost = 2 };

template <class WaitFn>
WaitResult WaitWithSignals(double timeout, WaitFn wait) {
    using Clock = Inbox::Clock;
    const bool forever = timeout < 0 || timeout > kForever;
    const Clock::time_point deadline =
        forever ? Clock::time_point::max()
                : Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
    for (;;) {
        Clock::time_point now = Clock::now();
        Clock::time_point until = deadline - now < kSignalSlice ? deadline : now + kSignalSlice;
        WaitResult result;
        {
            NoGil nogil;
            result = wait(until);
        }
        if (result != WaitResult::Timeout) return result;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        if (Clock::now() >= deadline) return WaitResult::Timeout;
    }
}

py::object StatusOf(WaitResult result) {
    int status = result == WaitResult::Closed ? kClosed : result == WaitResult::Lost ? kLost : kTimeout;
    return py::int_(status);
}

// A uint8 array over the image's own buffer: no copy; the capsule keeps the
// buffer alive for as long as the array (or any view of it) lives.
py::array ArrayOf(ReceivedImage& image) {
    const int format = image.attr[1], width = image.attr[2], height = image.attr[3];
    const long long len = image.len;
    std::vector<py::ssize_t> shape;
    if (format == 1 && width > 0 && height > 0 && 1LL * width * height == len) {
        shape = {height, width};
    } else if (format == 3 && width > 0 && height > 0 && 3LL * width * height == len) {
        shape = {height, width, 3};
    } else {
        shape = {static_cast<py::ssize_t>(len)};
    }
    auto holder = std::make_unique<std::shared_ptr<unsigned char>>(std::move(image.data));
    unsigned char* bytes = holder->get();
    py::capsule owner(holder.get(), [](void* p) { delete static_cast<std::shared_ptr<unsigned char>*>(p); });
    holder.release();  // the capsule owns it now
    if (!bytes) return py::array(py::dtype::of<uint8_t>(), shape);
    return py::array(py::dtype::of<uint8_t>(), shape, {}, bytes, owner);
}

py::object GetImage(ViewerCore& viewer, double timeout) {
    ReceivedImage image;
    WaitResult result = WaitWithSignals(
        timeout, [&](Inbox::Clock::time_point until) { return viewer.inbox().WaitImage(until, image); });
    if (result != WaitResult::Item) return StatusOf(result);
    const int* a = image.attr;
    return py::make_tuple(image.channel, ArrayOf(image), py::make_tuple(a[0], a[1], a[2], a[3], a[4]), image.tag,
                          image.arrivalUs);
}

py::object GetLog(ViewerCore& viewer, double timeout) {
    std::string line;
    WaitResult result =
        WaitWithSignals(timeout, [&](Inbox::Clock::time_point until) { return viewer.inbox().WaitLog(until, line); });
    if (result != WaitResult::Item) return StatusOf(result);
    PyObject* text = PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "replace");
    if (!text) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
}

int Switch(const py::object& flag) {
    return flag.is_none() ? travik::SWITCH_KEEP : travik::SwitchOf(flag.cast<bool>());
}

// A channel number from Python: an int 0..3. The Python layer checks too,
// but this module is importable on its own and indexes arrays with it.
int ChannelArg(py::handle channel) {
    PyObject* index = PyBool_Check(channel.ptr()) ? nullptr : PyNumber_Index(channel.ptr());
    if (!index) {
        PyErr_Clear();
        throw py::type_error("channel must be an integer 0 to 3");
    }
    const long long c = PyLong_AsLongLong(index);
    Py_DECREF(index);
    if (c == -1 && PyErr_Occurred()) PyErr_Clear();  // too large either way
    if (c < 0 || c >= travik_py::kChannels)
        throw py::value_error("channel must be 0 to 3, got " + py::repr(channel).cast<std::string>());
    return static_cast<int>(c);
}

// `channels`: None keeps every channel, else the channels to switch on (the
// others go off).
CommandSt CommandOf(const py::object& logs, const py::object& images, const py::object& channels, int intervalMs) {
    CommandSt cmd;
    cmd.logs = Switch(logs);
    cmd.images = Switch(images);
    if (!channels.is_none()) {
        for (int c = 0; c < travik_py::kChannels; ++c) cmd.channels[c] = 2;
        for (py::handle c : channels) cmd.channels[ChannelArg(c)] = 1;
    }
    cmd.intervalMs = intervalMs;
    return cmd;
}

// Copies a non-contiguous array of 1-byte items, row by row where it can.
std::shared_ptr<unsigned char> CopyStrided(const py::array& array, size_t len) {
    std::shared_ptr<unsigned char> out(new unsigned char[len > 0 ? len : 1], std::default_delete<unsigned char[]>());
    const auto* base = static_cast<const unsigned char*>(array.data());
    const py::ssize_t ndim = array.ndim();
    std::array<py::ssize_t, 3> shape{1, 1, 1}, strides{0, 0, 0};
    for (py::ssize_t d = 0; d < ndim; ++d) {
        shape[static_cast<size_t>(3 - ndim + d)] = array.shape(d);
        strides[static_cast<size_t>(3 - ndim + d)] = array.strides(d);
    }
    unsigned char* dst = out.get();
    for (py::ssize_t i = 0; i < shape[0]; ++i) {
        for (py::ssize_t j = 0; j < shape[1]; ++j) {
            const unsigned char* row = base + i * strides[0] + j * strides[1];
            if (strides[2] == 1) {
                std::memcpy(dst, row, static_cast<size_t>(shape[2]));
                dst += shape[2];
            } else {
                for (py::ssize_t k = 0; k < shape[2]; ++k) *dst++ = row[k * strides[2]];
            }
        }
    }
    return out;
}

// `array` is a uint8 array of at most 3 dimensions. Contiguous arrays are
// copied once by the library; others once here. Every argument is checked
// here again: the library takes the size as an int, and a size that does not
// fit must be refused, not cut.
bool SendImage(DeviceCore& device, const py::object& channelArg, int format, int width, int height,
               const py::array& array, unsigned long long tag) {
    const int channel = ChannelArg(channelArg);
    if (array.ndim() > 3 || array.itemsize() != 1) throw py::value_error("expected a uint8 array of 1 to 3 dimensions");
    if (width < 0 || height < 0) throw py::value_error("width and height must not be negative");
    const size_t len = static_cast<size_t>(array.nbytes());
    if (len > static_cast<size_t>(travik_py::kMaxImageBytes))
        throw py::value_error("image of " + std::to_string(len) + " bytes is over the limit of " +
                              std::to_string(travik_py::kMaxImageBytes));
    if (array.flags() & py::array::c_style) {
        const auto* bytes = static_cast<const unsigned char*>(array.data());
        NoGil nogil;
        return device.SendImage(channel, format, width, height, bytes, static_cast<int>(len), tag);
    }
    std::shared_ptr<unsigned char> copy;
    {
        NoGil nogil;
        copy = CopyStrided(array, len);
    }
    NoGil nogil;
    return device.SendImageShared(channel, format, width, height, std::move(copy), static_cast<int>(len), tag);
}

}  // namespace

PYBIND11_MODULE(_travik, m) {
    m.doc() = "Compiled core of the travik package; use the classes in `travik` instead.";
    m.attr("STATUS_TIMEOUT") = static_cast<int>(kTimeout);
    m.attr("STATUS_CLOSED") = static_cast<int>(kClosed);
    m.attr("STATUS_LOST") = static_cast<int>(kLost);
    m.attr("MAX_IMAGE_BYTES") = travik_py::kMaxImageBytes;
    m.attr("HAS_NATS") = travik_py::HasNats();
    m.attr("HAS_TLS") = TravikMgr::TlsAvailable() == 1;

    py::class_<ViewerCore, std::shared_ptr<ViewerCore>>(m, "ViewerCore")
        .def(py::init<std::string, int, bool>(), py::arg("ip"), py::arg("port"), py::arg("reconnect"))
        .def_static(
            "nats",
            [](const std::string& address, const std::string& creds, const std::string& tlsCa) {
                std::string error;
                std::unique_ptr<travik_py::Remote> remote = travik_py::MakeNatsRemote(address, creds, tlsCa, error);
                if (!remote) throw py::value_error(error);
                return std::make_shared<ViewerCore>(std::move(remote));
            },
            py::arg("address"), py::arg("creds"), py::arg("tls_ca"))
        .def(
            "set_tls",
            [](ViewerCore& v, std::string ca, std::string cert, std::string key, std::string serverName) {
                TravikTls tls;
                tls.caFile = std::move(ca);
                tls.certFile = std::move(cert);
                tls.keyFile = std::move(key);
                tls.serverName = std::move(serverName);
                v.SetTls(tls);
            },
            py::arg("ca"), py::arg("cert"), py::arg("key"), py::arg("server_name"))
        .def(
            "open",
            [](ViewerCore& v, const py::object& logs, const py::object& channels, int intervalMs) {
                CommandSt cmd = CommandOf(logs, py::bool_(true), channels, intervalMs);
                NoGil nogil;
                return v.Open(cmd);
            },
            py::arg("logs"), py::arg("channels"), py::arg("interval_ms"))
        .def(
            "command",
            [](ViewerCore& v, const py::object& logs, const py::object& images, const py::object& channels,
               int intervalMs) {
                CommandSt cmd = CommandOf(logs, images, channels, intervalMs);
                NoGil nogil;
                v.Command(cmd);
            },
            py::arg("logs"), py::arg("images"), py::arg("channels"), py::arg("interval_ms"))
        .def("get_image", &GetImage, py::arg("timeout"))
        .def("get_log", &GetLog, py::arg("timeout"))
        .def("close",
             [](ViewerCore& v) {
                 NoGil nogil;
                 v.Close();
             })
        .def_property_readonly("connected", [](ViewerCore& v) { return v.inbox().Connected(); })
        .def_property_readonly("dropped_images", [](ViewerCore& v) { return v.inbox().DroppedImages(); })
        .def_property_readonly("dropped_logs", [](ViewerCore& v) { return v.inbox().DroppedLogLines(); });

    py::class_<DeviceCore, std::shared_ptr<DeviceCore>>(m, "DeviceCore")
        .def(py::init<>())
        .def(
            "open",
            [](DeviceCore& d, int port, const std::string& bind, std::string cert, std::string key,
               std::string clientCa) {
                TravikTls tls;
                tls.certFile = std::move(cert);
                tls.keyFile = std::move(key);
                tls.caFile = std::move(clientCa);
                NoGil nogil;
                return d.Open(port, bind, tls);
            },
            py::arg("port"), py::arg("bind"), py::arg("cert"), py::arg("key"), py::arg("client_ca"))
        .def("close",
             [](DeviceCore& d) {
                 NoGil nogil;
                 d.Close();
             })
        .def_property_readonly("port", &DeviceCore::Port)
        .def_property_readonly("viewers", &DeviceCore::Viewers)
        .def("send_image", &SendImage, py::arg("channel"), py::arg("format"), py::arg("width"), py::arg("height"),
             py::arg("array"), py::arg("tag"))
        .def(
            "log",
            [](DeviceCore& d, const std::string& text) {
                NoGil nogil;
                return d.Log(text.c_str());
            },
            py::arg("text"));
}
