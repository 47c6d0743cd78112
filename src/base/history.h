#pragma once

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace pellora {

// The newest `Capacity` entries of a list that only grows at its end (chat lines, transfers), kept in
// small immutable chunks that copies share. Published states hold one and are copied and compared on
// every change; here both cost a few chunk pointers plus one chunk, whatever the history's length, and the
// oldest entry goes once there are more than `Capacity`. A value: not thread-safe, like any container.
template <typename T, std::size_t Capacity, std::size_t ChunkSize = 16>
class History {
  static_assert(Capacity > 0 && ChunkSize > 0);
  using Chunk = std::vector<T>;

 public:
  static constexpr std::size_t capacity = Capacity;

  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = const T*;
    using reference = const T&;

    const_iterator() = default;
    reference operator*() const { return (*owner_)[index_]; }
    pointer operator->() const { return &(*owner_)[index_]; }
    const_iterator& operator++() {
      ++index_;
      return *this;
    }
    const_iterator operator++(int) {
      auto before = *this;
      ++index_;
      return before;
    }
    bool operator==(const const_iterator& o) const { return index_ == o.index_; }

   private:
    friend class History;
    const_iterator(const History* owner, std::size_t index) : owner_(owner), index_(index) {}
    const History* owner_ = nullptr;
    std::size_t index_ = 0;
  };

  History() = default;
  History(std::initializer_list<T> entries) {
    for (const T& entry : entries) push_back(entry);
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T& operator[](std::size_t i) const {
    const std::size_t at = skip_ + i;
    return (*chunks_[at / ChunkSize])[at % ChunkSize];
  }
  const T& at(std::size_t i) const {
    if (i >= size_) throw std::out_of_range("History::at");
    return (*this)[i];
  }
  const T& front() const { return (*this)[0]; }
  const T& back() const { return (*this)[size_ - 1]; }
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size_}; }

  void clear() { *this = History(); }

  void push_back(T entry) {
    if (chunks_.empty() || chunks_.back()->size() == ChunkSize) {
      auto chunk = std::make_shared<Chunk>();
      chunk->reserve(ChunkSize);
      chunks_.push_back(std::move(chunk));
    }
    writable(chunks_.size() - 1).push_back(std::move(entry));
    if (++size_ > Capacity) {
      --size_;
      if (++skip_ == ChunkSize) {
        chunks_.erase(chunks_.begin());
        skip_ = 0;
      }
    }
  }

  void replace(std::size_t i, T entry) {
    const std::size_t at = skip_ + i;
    writable(at / ChunkSize)[at % ChunkSize] = std::move(entry);
  }

  // The index of the newest entry that satisfies `match`.
  template <typename Match>
  std::optional<std::size_t> findLast(Match&& match) const {
    for (std::size_t i = size_; i-- > 0;)
      if (match((*this)[i])) return i;
    return std::nullopt;
  }

  // Chunks both sides share are equal without looking inside them.
  bool operator==(const History& o) const {
    if (size_ != o.size_) return false;
    if (skip_ == o.skip_) {
      for (std::size_t c = 0; c < chunks_.size(); ++c) {
        if (chunks_[c] == o.chunks_[c]) continue;
        const std::size_t first = c == 0 ? skip_ : 0;
        if (!std::equal(chunks_[c]->begin() + static_cast<std::ptrdiff_t>(first), chunks_[c]->end(),
                        o.chunks_[c]->begin() + static_cast<std::ptrdiff_t>(first), o.chunks_[c]->end()))
          return false;
      }
      return true;
    }
    return std::equal(begin(), end(), o.begin(), o.end());
  }

 private:
  // Chunk `c`, copied first when another history still shares it.
  Chunk& writable(std::size_t c) {
    if (chunks_[c].use_count() > 1) chunks_[c] = std::make_shared<Chunk>(*chunks_[c]);
    return *chunks_[c];
  }

  std::vector<std::shared_ptr<Chunk>> chunks_;  // shared chunks are never written (see writable)
  std::size_t skip_ = 0;                        // entries of the first chunk that fell out
  std::size_t size_ = 0;
};

}  // namespace pellora
