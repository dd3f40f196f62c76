#include "records.hpp"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "entry.hpp"
#include "errors.hpp"

namespace quorvale_dat::python {
namespace {

using Database = std::shared_ptr<const DatDatabase>;

// The walk and its hand-over. At most kReadyBatches batches wait, so a slow consumer holds the
// walk back rather than the memory growing; destroying the stream stops the walk.
class RecordStream {
 public:
  RecordStream(Database db, std::optional<std::uint8_t> type) : db_(std::move(db)), type_(type) {}
  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  // Runs with the GIL held (the iterator is being deallocated); the producer never takes the
  // GIL, so joining it here cannot deadlock.
  ~RecordStream() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    space_.notify_all();
    if (producer_.joinable()) producer_.join();
  }

  // The next pair as a new reference; nullptr at the end, with no error set, or with the
  // error set when something failed. Needs the GIL.
  PyObject* next() {
    if (busy_) {
      PyErr_SetString(PyExc_ValueError, "records() iterator already executing");
      return nullptr;
    }
    if (next_ == current_.items.size() && !fetch()) return nullptr;
    const Item& item = current_.items[next_++];
    PyObject* value = nullptr;
    if (item.error == kNoError) {
      value = PyBytes_FromStringAndSize(
          reinterpret_cast<const char*>(current_.bytes.data() + item.offset),
          static_cast<Py_ssize_t>(item.size));
    } else {
      value = archive_error(current_.errors[item.error]).release().ptr();
    }
    if (value == nullptr) return nullptr;
    PyObject* entry = new_entry(item.entry);
    if (entry == nullptr) {
      Py_DECREF(value);
      return nullptr;
    }
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) {
      Py_DECREF(entry);
      Py_DECREF(value);
      return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, entry);
    PyTuple_SET_ITEM(pair, 1, value);
    return pair;
  }

 private:
  static constexpr std::size_t kNoError = static_cast<std::size_t>(-1);
  static constexpr std::size_t kBatchBytes = std::size_t{1} << 20;
  static constexpr std::size_t kBatchItems = 1024;
  static constexpr std::size_t kReadyBatches = 4;

  struct Item {
    DatFileEntry entry;
    std::size_t offset = 0;  // of the record's bytes in the batch
    std::size_t size = 0;
    std::size_t error = kNoError;  // index into the batch's errors
  };
  struct Batch {
    std::vector<std::uint8_t> bytes;
    std::vector<Item> items;
    std::vector<DatError> errors;
  };

  // Moves to the next batch, waiting for it without the GIL; false at the end of the walk, with
  // an error set if the walk failed (out of memory).
  bool fetch() {
    if (finished_walk_) return false;
    busy_ = true;
    struct Idle {
      bool& busy;
      ~Idle() { busy = false; }
    } idle{busy_};
    bool got = false;
    {
      py::gil_scoped_release nogil;
      std::unique_lock lock(mutex_);
      if (!producer_.joinable()) producer_ = std::thread([this] { produce(); });
      if (current_.bytes.capacity() > 0) spare_.push_back(std::move(current_));
      ready_.wait(lock, [&] { return !batches_.empty() || done_; });
      if (!batches_.empty()) {
        current_ = std::move(batches_.front());
        batches_.pop_front();
        got = true;
      }
    }
    space_.notify_one();
    next_ = 0;
    if (!got) {
      finished_walk_ = true;
      current_ = Batch{};
      if (failure_) PyErr_NoMemory();
    }
    return got;
  }

  Batch take_spare() {
    Batch batch;
    {
      std::lock_guard lock(mutex_);
      if (!spare_.empty()) {
        batch = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    batch.bytes.clear();
    batch.items.clear();
    batch.errors.clear();
    if (batch.bytes.capacity() == 0) {
      batch.bytes.reserve(kBatchBytes);
      batch.items.reserve(kBatchItems);
    }
    return batch;
  }

  // Hands a full batch over; false when the stream is being dropped.
  bool publish(Batch batch) {
    {
      std::unique_lock lock(mutex_);
      space_.wait(lock, [&] { return stopping_ || batches_.size() < kReadyBatches; });
      if (stopping_) return false;
      batches_.push_back(std::move(batch));
    }
    ready_.notify_one();
    return true;
  }

  void produce() {
    try {
      Batch batch = take_spare();
      bool going = true;
      db_->for_each_file([&](const DatFileEntry& e, DatDatabase::FileResult result) {
        if (type_ && e.id >> 24 != *type_) return true;
        // A batch goes when the next record would not fit: growing its buffer would copy
        // everything in it once more. A record larger than a whole batch gets one of its own.
        const std::size_t size = result ? result->size() : 0;
        if (!batch.items.empty() && (batch.bytes.size() + size > batch.bytes.capacity() ||
                                     batch.items.size() >= kBatchItems)) {
          going = publish(std::move(batch));
          if (!going) return false;
          batch = take_spare();
        }
        Item item{e, batch.bytes.size(), size, kNoError};
        if (result) {
          batch.bytes.insert(batch.bytes.end(), result->begin(), result->end());
        } else {
          item.error = batch.errors.size();
          batch.errors.push_back(std::move(result.error()));
        }
        batch.items.push_back(item);
        return true;
      });
      if (going && !batch.items.empty()) publish(std::move(batch));
    } catch (...) {
      std::lock_guard lock(mutex_);
      failure_ = std::current_exception();
    }
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    ready_.notify_all();
  }

  const Database db_;
  const std::optional<std::uint8_t> type_;

  // Shared with the producer, under mutex_.
  std::mutex mutex_;
  std::condition_variable ready_;  // a batch is ready, or the walk is done
  std::condition_variable space_;  // room for another batch, or stopping
  std::deque<Batch> batches_;
  std::vector<Batch> spare_;  // consumed batches, for their buffers
  bool done_ = false;
  bool stopping_ = false;
  std::exception_ptr failure_;
  std::thread producer_;

  // The consumer's own, under the GIL.
  Batch current_;
  std::size_t next_ = 0;
  bool busy_ = false;
  bool finished_walk_ = false;
};

struct StreamObject {
  PyObject ob_base;  // PyObject_HEAD
  RecordStream* stream;
};

PyTypeObject* stream_type = nullptr;  // a strong reference, for the life of the process

PyObject* stream_next(PyObject* self) {
  try {
    return reinterpret_cast<StreamObject*>(self)->stream->next();
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return nullptr;
}

// Stops the walk and waits for its thread, which never takes the GIL, so holding it here cannot
// deadlock.
void stream_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<StreamObject*>(self)->stream;
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot stream_slots[] = {
    {Py_tp_doc, const_cast<char*>("The iterator of Archive.records(): (Entry, bytes or DatError) "
                                  "pairs in the order the records lie in the file.")},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(stream_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "quorvale_dat.RecordIterator", static_cast<int>(sizeof(StreamObject)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    stream_slots};

}  // namespace

void bind_records(py::module_& m) {
  PyObject* type = PyType_FromSpec(&stream_spec);
  if (type == nullptr) throw py::error_already_set();
  stream_type = reinterpret_cast<PyTypeObject*>(type);
  m.attr("RecordIterator") = py::reinterpret_borrow<py::object>(type);
}

py::object record_stream(Database db, std::optional<std::uint8_t> type) {
  auto stream = std::make_unique<RecordStream>(std::move(db), type);
  PyObject* self = stream_type->tp_alloc(stream_type, 0);
  if (self == nullptr) throw py::error_already_set();
  reinterpret_cast<StreamObject*>(self)->stream = stream.release();
  return py::reinterpret_steal<py::object>(self);
}

}  // namespace quorvale_dat::python
