// The program's own string type: a copy-on-write string that keeps short
// text inline and longer text in a shared, reference-counted heap block.
//
// Thread safety: the reference count of a heap block is changed only with
// atomic read-modify-write operations, so copies of one string may be owned
// and destroyed by different threads. A single string object must not be
// used by two threads at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace stdx {

template <class Ch>
struct fix_char_traits {
  typedef Ch char_type;

  // The standard traits' length is a builtin the compiler can see through.
  static size_t length(const Ch* s) { return std::char_traits<Ch>::length(s); }
  static bool lt(Ch a, Ch b) { return toUnsigned(a) < toUnsigned(b); }
  static bool eq(Ch a, Ch b) { return a == b; }
  // Compares units by their unsigned numeric values.
  static int compare(const Ch* a, const Ch* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return lt(a[i], b[i]) ? -1 : 1;
    }
    return 0;
  }
  static Ch* copy(Ch* dst, const Ch* src, size_t n) {
    if (n) std::memcpy(dst, src, n * sizeof(Ch));
    return dst;
  }
  static Ch* move(Ch* dst, const Ch* src, size_t n) {
    if (n) std::memmove(dst, src, n * sizeof(Ch));
    return dst;
  }
  static Ch* assign(Ch* dst, size_t n, Ch c) {
    for (size_t i = 0; i < n; ++i) dst[i] = c;
    return dst;
  }
  static const Ch* find(const Ch* s, size_t n, Ch c) {
    for (size_t i = 0; i < n; ++i)
      if (s[i] == c) return s + i;
    return nullptr;
  }

 private:
  static unsigned long toUnsigned(Ch c) {
    return static_cast<unsigned long>(static_cast<typename std::make_unsigned<Ch>::type>(c));
  }
};

template <class Ch, class Traits = fix_char_traits<Ch>, class Alloc = std::allocator<Ch>>
class basic_string {
 public:
  typedef Ch value_type;
  typedef Traits traits_type;
  typedef size_t size_type;
  typedef const Ch* const_iterator;
  typedef Ch* iterator;

  static constexpr size_t npos = static_cast<size_t>(-1);
  // Storage geometry: 24 bytes of inline room, one unit of it for the terminator.
  static constexpr uint32_t kTag = 24 / sizeof(Ch);          // 12 for UTF-16, 24 for 8-bit
  static constexpr size_t kInlineCapacity = kTag - 1;         // 11 or 23 units
  static constexpr size_t kHeaderUnits = 8 / sizeof(Ch);      // the 64-bit count, in units
  static constexpr size_t kMaxUnits = (size_t(1) << 63) - 2;  // larger results throw

  basic_string() { setInlineEmpty(); }
  basic_string(const Ch* s) { setInlineEmpty(); assign(s, Traits::length(s)); }
  basic_string(const Ch* s, size_t n) { setInlineEmpty(); assign(s, n); }
  basic_string(size_t n, Ch c) {
    setInlineEmpty();
    resize(n, c);
  }
  template <class It, class = typename std::enable_if<!std::is_integral<It>::value>::type>
  basic_string(It first, It last) {
    setInlineEmpty();
    for (; first != last; ++first) push_back(static_cast<Ch>(*first));
  }
  basic_string(const basic_string& other) { copyFrom(other); }
  basic_string(basic_string&& other) noexcept {
    std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), sizeof(*this));
    other.setInlineEmpty();
  }
  basic_string(const basic_string& other, size_t pos, size_t n = npos) {
    setInlineEmpty();
    append(other, pos, n);
  }
  ~basic_string() { release(); }

  basic_string& operator=(const basic_string& other) {
    if (this != &other) {
      release();
      copyFrom(other);
    }
    return *this;
  }
  basic_string& operator=(basic_string&& other) noexcept {
    if (this != &other) {
      release();
      std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), sizeof(*this));
      other.setInlineEmpty();
    }
    return *this;
  }
  basic_string& operator=(const Ch* s) { return assign(s, Traits::length(s)); }
  basic_string& operator=(Ch c) { return assign(&c, 1); }

  // --- size and access -------------------------------------------------
  bool isHeap() const { return lengthOrTag_ == kTag; }
  size_t size() const {
    return isHeap() ? static_cast<size_t>(u_.heap.end - heapText()) : lengthOrTag_;
  }
  size_t length() const { return size(); }
  bool empty() const { return size() == 0; }
  size_t max_size() const { return kMaxUnits; }
  // Capacity in units, counting the header units of a heap block; the
  // inline capacity for an inline string.
  size_t capacity() const { return isHeap() ? u_.heap.capacity : kInlineCapacity; }
  // The reference count of the heap block, 0 for an inline string.
  long use_count() const { return isHeap() ? static_cast<long>(count().load()) : 0; }

  const Ch* data() const { return isHeap() ? heapText() : u_.inl; }
  const Ch* c_str() const { return data(); }
  const Ch* begin() const { return data(); }
  const Ch* end() const { return data() + size(); }
  const Ch* cbegin() const { return begin(); }
  const Ch* cend() const { return end(); }
  const Ch& operator[](size_t i) const { return data()[i]; }
  const Ch& at(size_t i) const {
    if (i >= size()) throw std::out_of_range("basic_string");
    return data()[i];
  }
  const Ch& front() const { return data()[0]; }
  const Ch& back() const { return data()[size() - 1]; }

  // Mutable access makes a shared block unique first. A reference obtained
  // this way is valid until the string is copied or changed.
  Ch* mutableData() {
    makeUnique();
    return isHeap() ? heapText() : u_.inl;
  }
  Ch& operator[](size_t i) { return mutableData()[i]; }
  Ch* begin() { return mutableData(); }
  Ch* end() { return mutableData() + size(); }

  // --- modification ------------------------------------------------------
  basic_string& assign(const basic_string& s) { return *this = s; }
  basic_string& assign(const Ch* s) { return assign(s, Traits::length(s)); }
  basic_string& assign(const Ch* s, size_t n) {
    if (n == 0) {
      release();
      setInlineEmpty();
      return *this;
    }
    checkLength(n);
    if (!isHeap() && n <= kInlineCapacity) {
      Traits::move(u_.inl, s, n);
      u_.inl[n] = Ch();
      lengthOrTag_ = static_cast<uint32_t>(n);
      return *this;
    }
    return assignSlow(s, n);
  }

 private:
  // The heap side of assign, kept out of line: short literals then never
  // meet the large copies in the optimiser's view.
  __attribute__((noinline)) basic_string& assignSlow(const Ch* s, size_t n) {
    if (!isHeap()) {
      Heap h = allocateBlock(roundCapacity(n + kHeaderUnits));
      Traits::copy(textOf(h.block), s, n);
      adoptBlock(h, n);
      return *this;
    }
    // Heap string: shorter text that fits inline goes back inline.
    if (n <= kInlineCapacity) {
      Ch tmp[kTag];
      Traits::copy(tmp, s, n);
      release();
      Traits::copy(u_.inl, tmp, n);
      u_.inl[n] = Ch();
      lengthOrTag_ = static_cast<uint32_t>(n);
      return *this;
    }
    if (count().load(std::memory_order_acquire) == 1 && u_.heap.capacity >= n + kHeaderUnits) {
      Traits::move(heapText(), s, n);
      setHeapLength(n);
      return *this;
    }
    Heap h = allocateBlock(roundCapacity(n + kHeaderUnits));
    Traits::copy(textOf(h.block), s, n);  // s may live in the old block: copy before release
    release();
    adoptBlock(h, n);
    return *this;
  }

 public:
  basic_string& append(const Ch* s, size_t n) {
    if (n == 0) return *this;
    size_t old = size();
    if (n > kMaxUnits - old) throw std::length_error("basic_string");
    const Ch* base = data();
    bool inside = s >= base && s < base + old;
    size_t offset = inside ? static_cast<size_t>(s - base) : 0;
    Ch* p = growForInsert(old + n);
    if (inside) s = p + offset;  // the source moved with the text
    Traits::move(p + old, s, n);
    finishLength(old + n);
    return *this;
  }
  basic_string& append(const Ch* s) { return append(s, Traits::length(s)); }
  basic_string& append(const basic_string& s) { return append(s.data(), s.size()); }
  basic_string& append(const basic_string& s, size_t pos, size_t n) {
    if (pos > s.size()) throw std::out_of_range("basic_string");
    size_t take = s.size() - pos;
    if (n < take) take = n;
    return append(s.data() + pos, take);
  }
  basic_string& append(size_t n, Ch c) {
    if (n == 0) return *this;
    size_t old = size();
    if (n > kMaxUnits - old) throw std::length_error("basic_string");
    Ch* p = growForInsert(old + n);
    Traits::assign(p + old, n, c);
    finishLength(old + n);
    return *this;
  }
  basic_string& operator+=(const basic_string& s) { return append(s.data(), s.size()); }
  basic_string& operator+=(const Ch* s) { return append(s); }
  basic_string& operator+=(Ch c) { return append(&c, 1); }
  void push_back(Ch c) { append(&c, 1); }
  void pop_back() { erase(size() - 1, 1); }

  // Inserts [first, last) before pos. When the range lies in this string's
  // own text, sourceInside must be set so the range is found again after
  // the block is made unique or reallocated.
  void insert_aux(const Ch* pos, const Ch* first, const Ch* last, bool sourceInside) {
    size_t n = static_cast<size_t>(last - first);
    const Ch* base = data();
    size_t at = static_cast<size_t>(pos - base);
    size_t srcOffset = sourceInside ? static_cast<size_t>(first - base) : 0;
    if (n == 0) return;
    size_t old = size();
    if (n > kMaxUnits - old) throw std::length_error("basic_string");
    if (sourceInside) {
      // Take a private copy first: the range may straddle the insertion point.
      basic_string tmp(base + srcOffset, n);
      Ch* p = growForInsert(old + n);
      Traits::move(p + at + n, p + at, old - at);
      Traits::copy(p + at, tmp.data(), n);
    } else {
      Ch* p = growForInsert(old + n);
      Traits::move(p + at + n, p + at, old - at);
      Traits::copy(p + at, first, n);
    }
    finishLength(old + n);
  }
  basic_string& insert(size_t pos, const basic_string& s) {
    if (pos > size()) throw std::out_of_range("basic_string");
    insert_aux(data() + pos, s.data(), s.data() + s.size(), &s == this);
    return *this;
  }
  basic_string& insert(size_t pos, const Ch* s, size_t n) {
    if (pos > size()) throw std::out_of_range("basic_string");
    const Ch* b = data();
    insert_aux(b + pos, s, s + n, s >= b && s < b + size());
    return *this;
  }
  basic_string& insert(size_t pos, const Ch* s) { return insert(pos, s, Traits::length(s)); }
  basic_string& insert(size_t pos, size_t n, Ch c) { return insert(pos, basic_string(n, c)); }

  basic_string& erase(size_t pos = 0, size_t n = npos) {
    size_t len = size();
    if (pos > len) throw std::out_of_range("basic_string");
    if (n > len - pos) n = len - pos;
    if (n == 0) return *this;
    Ch* p = mutableData();
    Traits::move(p + pos, p + pos + n, len - pos - n);
    shrinkTo(len - n);
    return *this;
  }
  void clear() {
    release();
    setInlineEmpty();
  }
  void resize(size_t n, Ch c = Ch()) {
    size_t len = size();
    if (n < len) {
      makeUnique();
      shrinkTo(n);
    } else if (n > len) {
      append(n - len, c);
    }
  }
  void reserve(size_t n) {
    if (n <= kInlineCapacity || n <= size()) return;
    checkLength(n);
    if (isHeap() && u_.heap.capacity >= n + kHeaderUnits && count().load() == 1) return;
    size_t len = size();
    Heap h = allocateBlock(roundCapacity(n + kHeaderUnits));
    Traits::copy(textOf(h.block), data(), len);
    release();
    adoptBlock(h, len);
  }
  void swap(basic_string& other) noexcept {
    unsigned char tmp[sizeof(*this)];
    std::memcpy(tmp, static_cast<void*>(this), sizeof(*this));
    std::memcpy(static_cast<void*>(this), static_cast<void*>(&other), sizeof(*this));
    std::memcpy(static_cast<void*>(&other), tmp, sizeof(*this));
  }

  // --- search and comparison ---------------------------------------------
  size_t find(const Ch* s, size_t pos, size_t n) const {
    size_t len = size();
    if (n == 0) return pos <= len ? pos : npos;
    if (n > len) return npos;
    const Ch* d = data();
    for (size_t i = pos; i + n <= len; ++i) {
      if (d[i] == s[0] && Traits::compare(d + i, s, n) == 0) return i;
    }
    return npos;
  }
  size_t find(const basic_string& s, size_t pos = 0) const { return find(s.data(), pos, s.size()); }
  size_t find(const Ch* s, size_t pos = 0) const { return find(s, pos, Traits::length(s)); }
  size_t find(Ch c, size_t pos = 0) const {
    size_t len = size();
    if (pos >= len) return npos;
    const Ch* hit = Traits::find(data() + pos, len - pos, c);
    return hit ? static_cast<size_t>(hit - data()) : npos;
  }
  size_t rfind(Ch c, size_t pos = npos) const {
    size_t len = size();
    if (len == 0) return npos;
    size_t i = pos < len ? pos : len - 1;
    const Ch* d = data();
    for (;; --i) {
      if (d[i] == c) return i;
      if (i == 0) return npos;
    }
  }
  size_t rfind(const basic_string& s, size_t pos = npos) const {
    size_t len = size(), n = s.size();
    if (n > len) return npos;
    size_t i = len - n;
    if (pos < i) i = pos;
    const Ch* d = data();
    for (;; --i) {
      if (Traits::compare(d + i, s.data(), n) == 0) return i;
      if (i == 0) return npos;
    }
  }
  size_t find_last_of(const Ch* set, size_t pos = npos) const {
    size_t len = size(), setLen = Traits::length(set);
    if (len == 0) return npos;
    size_t i = pos < len ? pos : len - 1;
    const Ch* d = data();
    for (;; --i) {
      if (Traits::find(set, setLen, d[i])) return i;
      if (i == 0) return npos;
    }
  }
  size_t find_first_of(const Ch* set, size_t pos = 0) const {
    size_t len = size(), setLen = Traits::length(set);
    const Ch* d = data();
    for (size_t i = pos; i < len; ++i)
      if (Traits::find(set, setLen, d[i])) return i;
    return npos;
  }
  basic_string substr(size_t pos = 0, size_t n = npos) const {
    if (pos > size()) throw std::out_of_range("basic_string");
    size_t take = size() - pos;
    if (n < take) take = n;
    return basic_string(data() + pos, take);
  }
  int compare(const Ch* s, size_t n) const {
    size_t len = size();
    size_t common = len < n ? len : n;
    int r = Traits::compare(data(), s, common);
    if (r != 0) return r;
    return len < n ? -1 : (len > n ? 1 : 0);
  }
  int compare(const basic_string& s) const { return compare(s.data(), s.size()); }
  int compare(const Ch* s) const { return compare(s, Traits::length(s)); }
  bool starts_with(const basic_string& p) const {
    return p.size() <= size() && Traits::compare(data(), p.data(), p.size()) == 0;
  }
  bool ends_with(const basic_string& p) const {
    return p.size() <= size() && Traits::compare(data() + size() - p.size(), p.data(), p.size()) == 0;
  }

  // Replaces the text by n units that the caller writes through the
  // returned pointer, allocated once at exactly that size (inline when it
  // fits). The pointer belongs to this object: write before moving it.
  Ch* resizeForOverwrite(size_t n) {
    checkLength(n);
    release();
    setInlineEmpty();
    if (n > kInlineCapacity) {
      Heap h = allocateBlock(n + kHeaderUnits);
      adoptBlock(h, n);
      return heapText();
    }
    lengthOrTag_ = static_cast<uint32_t>(n);
    u_.inl[n] = Ch();
    return u_.inl;
  }

 private:
  struct Heap {
    Ch* block;     // start of the block: the 64-bit count, then the text
    Ch* end;       // where the terminator stands
    size_t capacity;  // in units, counting the header units
  };

  static void checkLength(size_t n) {
    if (n > kMaxUnits) throw std::length_error("basic_string");
  }
  static Ch* textOf(Ch* block) { return block + kHeaderUnits; }
  Ch* heapText() const { return u_.heap.block + kHeaderUnits; }
  std::atomic<int64_t>& count() const {
    return *reinterpret_cast<std::atomic<int64_t>*>(u_.heap.block);
  }
  void setInlineEmpty() {
    lengthOrTag_ = 0;
    std::memset(static_cast<void*>(&u_), 0, sizeof(u_));
  }
  void setHeapLength(size_t n) {
    u_.heap.end = heapText() + n;
    *u_.heap.end = Ch();
  }

  // Rounds a capacity in units up by the byte-size table.
  static size_t roundCapacity(size_t units) {
    if (units > (size_t(-1) / sizeof(Ch)) - 1) throw std::bad_alloc();
    size_t bytes = units * sizeof(Ch);
    size_t step;
    if (bytes <= 256) step = 8;
    else if (bytes <= 512) step = 16;
    else if (bytes <= 1023) step = 32;
    else if (bytes <= 2047) step = 64;
    else if (bytes <= 4095) step = 128;
    else if (bytes <= 8191) step = 256;
    else if (bytes <= 16383) step = 512;
    else step = 1;
    bytes = (bytes + step - 1) / step * step;
    return bytes / sizeof(Ch);
  }

  static Heap allocateBlock(size_t capacityUnits) {
    if (capacityUnits > (size_t(-1) / sizeof(Ch)) - 1) throw std::bad_alloc();
    size_t bytes = capacityUnits * sizeof(Ch) + sizeof(Ch);
    Ch* block = static_cast<Ch*>(::operator new(bytes));
    new (block) std::atomic<int64_t>(1);
    Heap h;
    h.block = block;
    h.end = block + kHeaderUnits;
    h.capacity = capacityUnits;
    return h;
  }
  static void freeBlock(Ch* block) {
    reinterpret_cast<std::atomic<int64_t>*>(block)->~atomic();
    ::operator delete(block);
  }
  void adoptBlock(const Heap& h, size_t length) {
    lengthOrTag_ = kTag;
    u_.heap = h;
    setHeapLength(length);
  }

  void copyFrom(const basic_string& other) {
    std::memcpy(static_cast<void*>(this), static_cast<const void*>(&other), sizeof(*this));
    if (isHeap()) count().fetch_add(1, std::memory_order_relaxed);
  }
  void release() {
    if (!isHeap()) return;
    if (count().fetch_sub(1, std::memory_order_acq_rel) == 1) freeBlock(u_.heap.block);
    setInlineEmpty();
  }

  // A shared block is replaced by a private one sized exactly for the text.
  void makeUnique() {
    if (!isHeap() || count().load(std::memory_order_acquire) == 1) return;
    size_t len = size();
    Heap h = allocateBlock(len + kHeaderUnits);
    Traits::copy(textOf(h.block), heapText(), len);
    release();
    adoptBlock(h, len);
  }

  // Makes room for newLength units, keeping the text; returns the start of
  // the text. Growth is by half the capacity when that is enough.
  Ch* growForInsert(size_t newLength) {
    if (!isHeap() && newLength <= kInlineCapacity) return u_.inl;
    makeUnique();
    size_t required = newLength + kHeaderUnits;
    if (isHeap() && u_.heap.capacity >= required) return heapText();
    size_t current = isHeap() ? u_.heap.capacity : 0;
    size_t wanted = required;
    if (current + current / 2 >= required) wanted = current + current / 2;
    Heap h = allocateBlock(roundCapacity(wanted));
    size_t len = size();
    Traits::copy(textOf(h.block), data(), len);
    release();
    adoptBlock(h, len);
    return heapText();
  }
  void finishLength(size_t n) {
    if (isHeap()) setHeapLength(n);
    else {
      lengthOrTag_ = static_cast<uint32_t>(n);
      u_.inl[n] = Ch();
    }
  }
  // After a shortening change on a unique block: back inline when it fits.
  void shrinkTo(size_t n) {
    if (!isHeap()) {
      lengthOrTag_ = static_cast<uint32_t>(n);
      u_.inl[n] = Ch();
      return;
    }
    if (n <= kInlineCapacity) {
      Ch tmp[kTag];
      Traits::copy(tmp, heapText(), n);
      release();
      Traits::copy(u_.inl, tmp, n);
      u_.inl[n] = Ch();
      lengthOrTag_ = static_cast<uint32_t>(n);
      return;
    }
    setHeapLength(n);
  }

  uint32_t lengthOrTag_;
  union Storage {
    Ch inl[kTag];
    Heap heap;
  } u_;
};

template <class Ch, class T, class A>
basic_string<Ch, T, A> concat(const Ch* a, size_t na, const Ch* b, size_t nb) {
  typedef basic_string<Ch, T, A> S;
  if (nb > S::kMaxUnits - na) throw std::length_error("basic_string");
  S r;
  Ch* out = r.resizeForOverwrite(na + nb);
  T::copy(out, a, na);
  T::copy(out + na, b, nb);
  return r;
}

template <class Ch, class T, class A>
basic_string<Ch, T, A> operator+(const basic_string<Ch, T, A>& a, const basic_string<Ch, T, A>& b) {
  return concat<Ch, T, A>(a.data(), a.size(), b.data(), b.size());
}
template <class Ch, class T, class A>
basic_string<Ch, T, A> operator+(const basic_string<Ch, T, A>& a, const Ch* b) {
  return concat<Ch, T, A>(a.data(), a.size(), b, T::length(b));
}
template <class Ch, class T, class A>
basic_string<Ch, T, A> operator+(const Ch* a, const basic_string<Ch, T, A>& b) {
  return concat<Ch, T, A>(a, T::length(a), b.data(), b.size());
}
template <class Ch, class T, class A>
basic_string<Ch, T, A> operator+(const basic_string<Ch, T, A>& a, Ch c) {
  return concat<Ch, T, A>(a.data(), a.size(), &c, 1);
}

template <class Ch, class T, class A>
bool operator==(const basic_string<Ch, T, A>& a, const basic_string<Ch, T, A>& b) {
  return a.size() == b.size() && T::compare(a.data(), b.data(), a.size()) == 0;
}
template <class Ch, class T, class A>
bool operator==(const basic_string<Ch, T, A>& a, const Ch* b) {
  size_t n = T::length(b);
  return a.size() == n && T::compare(a.data(), b, n) == 0;
}
template <class Ch, class T, class A>
bool operator==(const Ch* a, const basic_string<Ch, T, A>& b) { return b == a; }
template <class Ch, class T, class A>
bool operator!=(const basic_string<Ch, T, A>& a, const basic_string<Ch, T, A>& b) { return !(a == b); }
template <class Ch, class T, class A>
bool operator!=(const basic_string<Ch, T, A>& a, const Ch* b) { return !(a == b); }
template <class Ch, class T, class A>
bool operator!=(const Ch* a, const basic_string<Ch, T, A>& b) { return !(b == a); }
template <class Ch, class T, class A>
bool operator<(const basic_string<Ch, T, A>& a, const basic_string<Ch, T, A>& b) {
  return a.compare(b) < 0;
}

template <class Ch, class T, class A>
void swap(basic_string<Ch, T, A>& a, basic_string<Ch, T, A>& b) noexcept { a.swap(b); }

typedef basic_string<char16_t> u16string;
typedef basic_string<char> string;

static_assert(sizeof(u16string) == 32, "length-or-tag word plus 24 bytes of storage");
static_assert(sizeof(string) == 32, "length-or-tag word plus 24 bytes of storage");

}  // namespace stdx

// --- free functions over strings -------------------------------------------

// Compares the two texts narrowed to the 8-bit encoding, folding ASCII
// letters only: negative, 0 or positive.
int compare_nocase(const stdx::u16string& a, const stdx::u16string& b);

// Decimal value of the leading digits; 0 for none; wraps modulo 2^64.
unsigned long string_toul(const stdx::u16string& s);
stdx::u16string string_uito(unsigned int value, int radix);
stdx::u16string string_ito(int value, int radix);

// Replaces every non-overlapping occurrence of what by with, left to right;
// inserted text is not searched again. Returns the number of replacements.
size_t replace_all(stdx::u16string& s, const stdx::u16string& what, const stdx::u16string& with);

// Conversions between UTF-16 and the 8-bit text of the environment's locale
// (UTF-8 under every usual desktop locale). They convert the whole string,
// zero units and bytes included, and lose nothing: a byte that is not valid
// text widens to the lone surrogate U+DC80..U+DCFF (0x80..0xFF plus 0xDC00)
// and narrows back to that byte, so narrow_lib(widen_lib(b)) == b for every
// byte string b. Units that have no bytes (any other lone surrogate, or a
// character the locale cannot encode) narrow to "?".
stdx::u16string widen_lib(const stdx::string& s);
stdx::string narrow_lib(const stdx::u16string& s);
// True when s is text that any program can show and any file system
// accepts: no zero unit, no lone surrogate (escaped bytes included), and
// every character encodable in the locale. Text from a package must pass
// this before it names a file.
bool converts_cleanly(const stdx::u16string& s);
// As widen_lib for the zero-terminated src, read up to its zero byte or
// srcLen bytes (all of it when srcLen < 0). Returns the number of UTF-16
// units and stores at most dstLen of them in dst.
int MultiByteToWideChar(unsigned int codePage, unsigned int flags, const char* src, int srcLen,
                        char16_t* dst, int dstLen);
// As narrow_lib for src, read up to its first zero unit or srcLen units.
// Returns the byte count and stores at most dstLen bytes in dst.
int WideCharToMultiByte(unsigned int codePage, unsigned int flags, const char16_t* src, int srcLen,
                        char* dst, int dstLen, const char* defaultChar, int* usedDefault);

// Decoding steps shared by the conversions and the configuration reader,
// which has to carry incomplete sequences across block boundaries.
namespace textcodec {
// True when the 8-bit encoding of the process is UTF-8 (or plain ASCII,
// which is read as UTF-8, since file names on a desktop are UTF-8).
bool localeIsUtf8();
// Decodes one character of UTF-8 at s (n bytes available). Returns the
// number of bytes used (1-4) and the code point in *cp; 0 when the bytes
// so far are a valid but incomplete sequence; -1 for an invalid sequence.
int decodeUtf8(const unsigned char* s, size_t n, char32_t* cp);
// Appends the code point as UTF-16 units (a surrogate pair above U+FFFF).
void appendUtf16(stdx::u16string& out, char32_t cp);

// Decodes text in the process locale's multibyte encoding one character at
// a time, keeping the shift state from call to call. For locales whose
// encoding is not UTF-8 (decodeUtf8 serves those). One thread at a time.
class LocaleDecoder {
 public:
  LocaleDecoder();
  ~LocaleDecoder();
  LocaleDecoder(const LocaleDecoder&) = delete;
  LocaleDecoder& operator=(const LocaleDecoder&) = delete;

  // False when the locale could not be loaded.
  bool ready() const;
  // As decodeUtf8: the bytes used (a zero byte is U+0000), 0 when the
  // bytes so far begin a character but do not end it (the state is kept
  // as it was), -1 for bytes that are no character (the state is reset).
  int decode(const unsigned char* s, size_t n, char32_t* cp);
  // Forgets the shift state, after a byte was skipped.
  void reset();

 private:
  struct State;
  std::unique_ptr<State> state_;
};
}  // namespace textcodec
