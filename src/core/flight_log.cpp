#include "flight_log.hpp"

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <utility>

#include "constants.hpp"

namespace aeso {

namespace {

// Grows a malloc'd list to the capacity that follows `capacity`: twice it, at
// least 4. The byte size may not exceed the largest signed 64-bit value.
// realloc moves the contents (large blocks are remapped, not copied).
template <class T>
bool grow_list(T*& data, std::size_t& capacity) noexcept {
    constexpr std::size_t max_elements =
        static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max()) / sizeof(T);
    const std::size_t wanted = capacity > max_elements / 2 ? max_elements + 1 : capacity * 2;
    const std::size_t new_capacity = wanted < 4 ? 4 : wanted;
    if (new_capacity > max_elements) return false;
    void* p = std::realloc(data, new_capacity * sizeof(T));
    if (p == nullptr) return false;
    data = static_cast<T*>(p);
    capacity = new_capacity;
    return true;
}

}  // namespace

Result<FlightLog> FlightLog::create() {
    FlightLog created;
    created.times_ = static_cast<double*>(std::malloc(LOG_INITIAL_CAPACITY * sizeof(double)));
    created.rows_ = static_cast<LogRow*>(std::malloc(LOG_INITIAL_CAPACITY * sizeof(LogRow)));
    if (created.times_ == nullptr || created.rows_ == nullptr) return Error::out_of_memory();
    created.times_capacity_ = LOG_INITIAL_CAPACITY;
    created.rows_capacity_ = LOG_INITIAL_CAPACITY;
    return created;
}

FlightLog::FlightLog(FlightLog&& other) noexcept
    : times_(std::exchange(other.times_, nullptr)),
      rows_(std::exchange(other.rows_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      times_capacity_(std::exchange(other.times_capacity_, 0)),
      rows_capacity_(std::exchange(other.rows_capacity_, 0)) {}

FlightLog& FlightLog::operator=(FlightLog&& other) noexcept {
    if (this != &other) {
        std::free(times_);
        std::free(rows_);
        times_ = std::exchange(other.times_, nullptr);
        rows_ = std::exchange(other.rows_, nullptr);
        size_ = std::exchange(other.size_, 0);
        times_capacity_ = std::exchange(other.times_capacity_, 0);
        rows_capacity_ = std::exchange(other.rows_capacity_, 0);
    }
    return *this;
}

FlightLog::~FlightLog() {
    std::free(times_);
    std::free(rows_);
}

Status FlightLog::grow() {
    if (size_ == times_capacity_ && !grow_list(times_, times_capacity_)) return Error::out_of_memory();
    if (size_ == rows_capacity_ && !grow_list(rows_, rows_capacity_)) return Error::out_of_memory();
    return Ok{};
}

Result<LogRow> FlightLog::last_row() const {
    if (size_ == 0) return Error::internal("Index out of bounds");
    return rows_[size_ - 1];
}

}  // namespace aeso
