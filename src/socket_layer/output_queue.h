#pragma once
// Bytes waiting to be written to one connection, in order. Appends are cheap; the front is
// consumed as the socket takes it.

#include <cstddef>
#include <string>
#include <string_view>

class OutputQueue {
public:
    void Append(std::string_view bytes) { data_.append(bytes); }
    std::string_view Front() const { return std::string_view(data_).substr(start_); }
    void Consume(std::size_t count);
    std::size_t size() const { return data_.size() - start_; }
    bool empty() const { return size() == 0; }
    void Release();
    // Gives a large buffer back once everything in it has gone, so an idle connection does not
    // keep the size of its largest reply.
    void ReleaseIfDrained();

private:
    std::string data_;
    std::size_t start_ = 0;
};
