// Box<T>: an owning pointer with value semantics (copying a Box copies the value). It lets the
// recursive error values (a parse error inside a backtrace frame inside a parse error) stay
// ordinary copyable values.
#pragma once

#include <memory>
#include <utility>

namespace quorvale_dat {

template <class T>
class Box {
 public:
  explicit Box(T value) : ptr_(std::make_unique<T>(std::move(value))) {}
  Box(const Box& other) : ptr_(std::make_unique<T>(*other.ptr_)) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& other) {
    if (this != &other) ptr_ = std::make_unique<T>(*other.ptr_);
    return *this;
  }
  Box& operator=(Box&&) noexcept = default;
  ~Box() = default;

  // A moved-from Box is empty; every other Box holds a value.
  [[nodiscard]] const T& operator*() const noexcept { return *ptr_; }
  [[nodiscard]] T& operator*() noexcept { return *ptr_; }
  [[nodiscard]] const T* operator->() const noexcept { return ptr_.get(); }
  [[nodiscard]] T* operator->() noexcept { return ptr_.get(); }

  friend bool operator==(const Box& a, const Box& b) { return *a == *b; }

 private:
  std::unique_ptr<T> ptr_;
};

}  // namespace quorvale_dat
