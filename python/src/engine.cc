// brivane._engine: the library's runs for the Python package, on the caller's arrays in place.
//
// A thin layer: it checks that an array is one the library reads as it is
// (the package converts the others first), fills the library's options from
// a dict, releases the GIL for the run, and maps the outcome back.  The run's
// report and progress reach Python through the sink below; an interrupt
// (Ctrl-C) reaches the run through the sink's stop().
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <brivane/brivane.hpp>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

// The sink of one run.  The library calls it on the run's thread, without
// the GIL; every call into Python takes the GIL for the call only.  The
// first Python exception (a callback's, or the KeyboardInterrupt that
// PyErr_CheckSignals raises) is kept and asks the run to stop; the run's
// caller raises it once the run has ended.
class PythonSink : public brivane::Sink {
  public:
    // echo(piece): every piece of the report as it comes; bar: an object
    // with begin(text), update(share, seconds) and end().  Either may be None.
    PythonSink(py::object echo, py::object bar) : echo_(std::move(echo)), bar_(std::move(bar)) {}

    void text(const std::string &piece) override
    {
        report += piece;
        call(echo_, nullptr, piece);
    }
    void summary(const std::string &line) override { summary_line = line; }
    void progress_begin(const std::string &text) override { call(bar_, "begin", text); }
    void progress(double share, double seconds) override { call(bar_, "update", share, seconds); }
    void progress_end() override { call(bar_, "end"); }
    bool stop() override
    {
        py::gil_scoped_acquire gil;
        if (!failure && PyErr_CheckSignals() != 0)
            failure = std::make_unique<py::error_already_set>();
        return failure != nullptr;
    }

    std::string report, summary_line;
    // The exception to raise in the run's place; released with the GIL held.
    std::unique_ptr<py::error_already_set> failure;

  private:
    // Calls target(args) (method null) or target.method(args), unless target
    // is None or an exception is already kept.
    template <class... Args> void call(const py::object &target, const char *method, Args &&...args)
    {
        if (target.is_none())
            return;
        py::gil_scoped_acquire gil;
        if (failure)
            return;
        try {
            if (method)
                target.attr(method)(std::forward<Args>(args)...);
            else
                target(std::forward<Args>(args)...);
        } catch (py::error_already_set &e) {
            failure = std::make_unique<py::error_already_set>(std::move(e));
        }
    }

    py::object echo_, bar_;
};

// The library's options from a dict whose keys are the names of the fields;
// the fields not in it keep the library's defaults.
brivane::Options options_from(const py::dict &given)
{
    brivane::Options o;
    for (auto item : given) {
        std::string key = item.first.cast<std::string>();
        py::handle v = item.second;
        if (key == "distance") o.distance = v.cast<std::string>();
        else if (key == "linkage") o.linkage = v.cast<std::string>();
        else if (key == "minkowski_p") o.minkowski_p = v.cast<double>();
        else if (key == "memory") o.memory = v.cast<double>();
        else if (key == "time") o.time = v.cast<double>();
        else if (key == "num_distances") o.num_distances = v.cast<int64_t>();
        else if (key == "all_pairwise") o.all_pairwise = v.cast<bool>();
        else if (key == "prop_similar") o.prop_similar = v.cast<double>();
        else if (key == "num_pivots") o.num_pivots = v.cast<int>();
        else if (key == "random_seed") o.random_seed = v.cast<int>();
        else if (key == "threads") o.threads = v.cast<int>();
        else if (key == "missing") o.missing = v.cast<std::string>();
        else if (key == "cluster") o.cluster = v.cast<std::string>();
        else throw py::key_error("no option " + key);
    }
    return o;
}

// A tree array handed to NumPy without a copy: the array owns the vector.
template <class T> py::array_t<T> give(std::vector<T> &&values)
{
    auto *owned = new std::vector<T>(std::move(values));
    py::capsule owner(owned, [](void *p) { delete static_cast<std::vector<T> *>(p); });
    return py::array_t<T>((py::ssize_t)owned->size(), owned->data(), owner);
}

// The element type of an array the library reads in place, or false.
bool element_type(const py::array &a, brivane::Type &type)
{
    py::dtype d = a.dtype();
    if (!d.attr("isnative").cast<bool>())
        return false;
    char kind = d.kind();
    py::ssize_t size = d.itemsize();
    if (kind == 'f' && size == 4) type = brivane::Type::Float;
    else if (kind == 'f' && size == 8) type = brivane::Type::Double;
    else if (kind == 'i' && size == 4) type = brivane::Type::Int;
    else if (kind == 'i' && size == 1) type = brivane::Type::Char;
    else return false;
    return true;
}

void require_c_order(const py::array &a, const char *what)
{
    if (!(a.flags() & py::array::c_style))
        throw py::type_error(std::string(what) + " must be a C-contiguous array");
}

// brivane._engine.RunFailed, the failure of a run: made once with the
// module and never freed, as the interpreter keeps it to its end.
PyObject *run_failed = nullptr;

// One run with the GIL released, its outcome as the package wants it: the
// tree's arrays with the report and summary line, or the exception.
template <class Body> py::dict run(Body body, py::object echo, py::object bar)
{
    PythonSink sink(std::move(echo), std::move(bar));
    brivane::Tree tree;
    std::string message;
    int status = 0;
    {
        py::gil_scoped_release release;
        try {
            tree = body(sink);
        } catch (const brivane::Error &e) {
            message = e.what();
            status = e.status();
        }
    }
    if (sink.failure)
        throw std::move(*sink.failure);
    if (status != 0) {
        // args: (message without "ERROR! ", status, the report up to the failure)
        PyErr_SetObject(run_failed, py::make_tuple(message, status, sink.report).ptr());
        throw py::error_already_set();
    }
    py::dict out;
    out["left"] = give(std::move(tree.left));
    out["right"] = give(std::move(tree.right));
    out["start"] = give(std::move(tree.start));
    out["end"] = give(std::move(tree.end));
    out["old2new"] = give(std::move(tree.old2new));
    out["new2old"] = give(std::move(tree.new2old));
    out["distance"] = give(std::move(tree.distance));
    out["report"] = sink.report;
    out["summary"] = sink.summary_line;
    return out;
}

py::dict cluster_matrix(const py::array &data, const py::dict &options, py::object echo, py::object bar)
{
    brivane::Type type;
    if (data.ndim() != 2 || !element_type(data, type))
        throw py::type_error("the data must be a 2-D array of float32, float64, int32 or int8 in native byte order");
    require_c_order(data, "the data");
    brivane::Matrix matrix{data.data(), type, (int64_t)data.shape(0), (int64_t)data.shape(1)};
    brivane::Options o = options_from(options);
    // `data` stays referenced by the caller's frame for the whole call.
    return run([&](brivane::Sink &sink) { return brivane::cluster(matrix, o, sink); }, std::move(echo),
               std::move(bar));
}

py::dict cluster_list(int32_t objects, const py::array &from, const py::array &to, const py::array &distance,
                      const py::dict &options, py::object echo, py::object bar)
{
    py::ssize_t entries = distance.size();
    bool typed = py::isinstance<py::array_t<int32_t>>(from) && py::isinstance<py::array_t<int32_t>>(to) &&
                 py::isinstance<py::array_t<double>>(distance);
    if (!typed || from.ndim() != 1 || to.ndim() != 1 || distance.ndim() != 1 || from.size() != entries ||
        to.size() != entries)
        throw py::type_error("a distance list is three 1-D arrays of one length: int32, int32 and float64");
    require_c_order(from, "from");
    require_c_order(to, "to");
    require_c_order(distance, "distance");
    auto *f = static_cast<const int32_t *>(from.data());
    auto *t = static_cast<const int32_t *>(to.data());
    auto *d = static_cast<const double *>(distance.data());
    brivane::Options o = options_from(options);
    return run([&](brivane::Sink &sink) { return brivane::cluster(objects, f, t, d, entries, o, sink); },
               std::move(echo), std::move(bar));
}

} // namespace

PYBIND11_MODULE(_engine, m)
{
    m.doc() = "The brivane library's runs on arrays in memory (used by the brivane package).";
    run_failed = PyErr_NewException("brivane._engine.RunFailed", PyExc_RuntimeError, nullptr);
    if (!run_failed)
        throw py::error_already_set();
    m.attr("RunFailed") = py::handle(run_failed);
    m.def("cluster_matrix", &cluster_matrix, py::arg("data"), py::arg("options"), py::arg("echo") = py::none(),
          py::arg("bar") = py::none(),
          "Clusters the rows, the columns or the square distance matrix `data` (options['cluster']).");
    m.def("cluster_list", &cluster_list, py::arg("objects"), py::arg("from_"), py::arg("to"), py::arg("distance"),
          py::arg("options"), py::arg("echo") = py::none(), py::arg("bar") = py::none(),
          "Clusters `objects` objects from a list of given distances.");
}
