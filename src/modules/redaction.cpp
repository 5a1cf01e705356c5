// orvex_cloud.redaction: removes credentials from values before they are shown, logged or
// returned as a "redacted" view. A value stored under a secret key name is replaced whole; any
// text anywhere in a nested value is scrubbed of credential-shaped substrings.
//
// The token prefixes live here and nowhere else: the connect module reads _CONNECT_PREFIX and
// _CREDENTIAL_PREFIXES from this module.
//
// redact_text runs a native single-pass scanner that gives exactly the text the host's `re`
// would give for the four patterns of _TOKEN_PATTERNS applied one after the other, followed by
// the bearer-tail rule (see below). _TOKEN_PATTERNS holds the same four patterns as compiled
// host patterns: they describe the scanner, and they are used instead of it when a caller
// rebinds _TOKEN_PATTERNS or _REDACTED (so monkeypatching works as with a Python module).
#include <nanobind/nanobind.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "coro.hpp"
#include "host.hpp"

#if defined(__linux__)
#include <pthread.h>
#endif

namespace nb = nanobind;
namespace host = orvex::host;

namespace {

constexpr const char *kModule = "orvex_cloud.redaction";

// ---- the chosen constants (one value each for the whole system) ----------------------------

constexpr std::string_view kConnectPrefix = "orvex_qc_";
// Short credentials: API keys, then agent registration tokens (the order of the patterns).
constexpr std::array<std::string_view, 2> kCredentialPrefixes = {"ok_", "rt_"};
constexpr size_t kCredentialMinTail = 8;
constexpr std::string_view kMarker = "<redacted>";
constexpr std::string_view kBearer = "bearer";

constexpr const char *kSecretKeys[] = {
    "api_key", "apikey",   "authorization", "client_secret", "connect_token",
    "registration_token", "secret", "token", "password",
};
// Tested after the set, in this order.
constexpr std::string_view kSecretSuffixes[] = {"_token", "_secret", "_password", "_api_key"};

// ---- character classes -----------------------------------------------------------------------

// [A-Za-z0-9_-]: the class of the prefixed credentials (case-sensitive, ASCII only).
constexpr bool word_ascii(unsigned c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

// The scanner relies on the prefixes being made of word characters (a redacted region is then
// always the tail of a run of word characters) and on the marker and "bearer" never forming a
// prefix.
constexpr bool all_word(std::string_view s) {
    for (char c : s)
        if (!word_ascii(static_cast<unsigned char>(c))) return false;
    return !s.empty();
}
static_assert(all_word(kConnectPrefix) && all_word(kCredentialPrefixes[0]) &&
              all_word(kCredentialPrefixes[1]) && all_word(kBearer));
static_assert(kConnectPrefix.find('_') != std::string_view::npos &&
              kCredentialPrefixes[0].find('_') != std::string_view::npos &&
              kCredentialPrefixes[1].find('_') != std::string_view::npos);
static_assert(kMarker.front() == '<' && kMarker.back() == '>');
static_assert(kCredentialPrefixes.size() == 2);

struct AsciiTables {
    bool word[128] = {};
    bool bearer[128] = {};
};

constexpr AsciiTables make_tables() {
    AsciiTables t;
    for (unsigned c = 0; c < 128; ++c) {
        t.word[c] = word_ascii(c);
        t.bearer[c] = word_ascii(c) || c == '.' || c == '~' || c == '+' || c == '/' || c == '=';
    }
    return t;
}
constexpr AsciiTables kTables = make_tables();

inline bool is_word(Py_UCS4 c) { return c < 128 && kTables.word[c]; }

// [A-Za-z0-9._~+/=-] as the host's `re` reads it case-insensitively: ASCII, plus the four
// characters whose case folding lands on an ASCII letter (dotted and dotless i, long s, Kelvin).
inline bool is_bearer_class(Py_UCS4 c) {
    if (c < 128) return kTables.bearer[c];
    return c == 0x130 || c == 0x131 || c == 0x17F || c == 0x212A;
}

// `\s` of a str pattern: the host's Unicode white space.
inline bool is_space(Py_UCS4 c) { return Py_UNICODE_ISSPACE(c); }

// ---- the scanner -----------------------------------------------------------------------------
//
// The text the host gives for the five passes
//   1. connect prefix + [A-Za-z0-9_-]+                  -> <redacted>
//   2. first credential prefix + [A-Za-z0-9_-]{8,}      -> <redacted>
//   3. second credential prefix + [A-Za-z0-9_-]{8,}     -> <redacted>
//   4. (?i)Bearer\s+[A-Za-z0-9._~+/=-]+                  -> <redacted>
//   5. (?i)(bearer\s+<redacted>)(?:[A-Za-z0-9._~+/=-]|<redacted>)*  -> \1   (marker case-sensitive)
// computed in one left-to-right walk.
//
// Why one walk suffices: a marker starts with "<" and ends with ">", which belong to no class, so
// an earlier pass's marker is a wall for every later pattern. Passes 1-3 only ever match inside a
// run of word characters, and each takes the tail of what is left of the run: the first
// occurrence of its prefix with enough room decides (a later occurrence has less room). A run is
// therefore a live head followed by up to three redacted regions. Pass 4 sees live text and
// regions; pass 5 sees live text and markers of passes 1-4 and markers already in the text. The
// walk resolves passes 4 and 5 together: at a live "bearer" ending a fully live run and followed
// by white space, the next item decides: a live class character starts a pass-4 match, a marker
// starts a pass-5 match whose tail swallows class characters, markers, and pass-4 matches found
// inside it.
template <typename Ch>
class Scanner {
public:
    Scanner(const Ch *text, size_t size) : text_(text), size_(size) {}

    // Fills `out` and returns true when anything was redacted; false leaves the text as it is.
    bool run(std::vector<Ch> &out) {
        out_ = &out;
        size_t i = 0;
        while (i < size_) {
            if (!is_word(text_[i])) {  // live, and no match starts here
                ++i;
                continue;
            }
            const Run &r = run_at(i);
            if (i >= r.live_end) {
                size_t end = region_end(i);
                replace(i, end);
                i = end;
                continue;
            }
            size_t b = bearer_in(r, i);
            if (b == kNone) {
                i = r.live_end;
                continue;
            }
            size_t after_word = b + kBearer.size();
            size_t j = skip_space(after_word);
            if (j > after_word && j < size_) {
                size_t after_marker = 0;
                Next next = classify(j, after_marker);
                if (next == Next::LiveClass) {  // pass 4
                    size_t end = class_run_end(j);
                    replace(b, end);
                    i = end;
                    continue;
                }
                if (next == Next::Marker) {  // pass 5: keep "bearer" and the white space
                    size_t end = tail_end(after_marker);
                    replace(j, end);
                    i = end;
                    continue;
                }
            }
            i = j;  // "bearer" and white space: no match can start inside them
        }
        if (!changed_) return false;
        out.insert(out.end(), text_ + flushed_, text_ + size_);
        return true;
    }

private:
    static constexpr size_t kNone = static_cast<size_t>(-1);

    // A maximal run of word characters: [start, live_end) untouched by passes 1-3, then regions
    // [bounds[k], bounds[k + 1]) for k < regions, bounds[0] == live_end, bounds[regions] == end.
    struct Run {
        size_t start = 0, end = 0, live_end = 0;
        size_t bounds[4] = {};
        int regions = 0;
    };

    enum class Next { LiveClass, Marker, Other };

    const Run &run_at(size_t pos) {
        if (pos >= run_.start && pos < run_.end) return run_;
        size_t start = pos;
        while (start > 0 && is_word(text_[start - 1])) --start;  // the walk enters runs at their start
        // Every prefix holds an underscore: a run without one is all live. Otherwise the first
        // occurrence of each prefix is its only candidate (a later one has less room).
        constexpr size_t kPrefixes = 1 + kCredentialPrefixes.size();
        static constexpr std::array<std::string_view, kPrefixes> prefixes = {
            kConnectPrefix, kCredentialPrefixes[0], kCredentialPrefixes[1]};
        static constexpr std::array<size_t, kPrefixes> min_tails = {1, kCredentialMinTail, kCredentialMinTail};
        size_t end = start;
        bool underscore = false;
        for (; end < size_ && is_word(text_[end]); ++end) underscore |= text_[end] == '_';
        std::array<size_t, kPrefixes> first;
        first.fill(kNone);
        if (underscore)
            for (size_t p = 0; p < kPrefixes; ++p) first[p] = find(start, end, prefixes[p]);

        // Passes 1-3 in order, each on what the previous ones left of the run.
        size_t cuts[kPrefixes + 1];
        int ncuts = 0;
        cuts[ncuts++] = end;
        size_t live = end;
        for (size_t p = 0; p < kPrefixes; ++p) {
            if (first[p] != kNone && first[p] + prefixes[p].size() + min_tails[p] <= live) {
                cuts[ncuts++] = first[p];
                live = first[p];
            }
        }

        run_.start = start;
        run_.end = end;
        run_.live_end = live;
        run_.regions = ncuts - 1;
        for (int k = 0; k < ncuts; ++k) run_.bounds[k] = cuts[ncuts - 1 - k];
        return run_;
    }

    size_t find(size_t from, size_t to, std::string_view needle) const {
        for (size_t k = from; k + needle.size() <= to; ++k)
            if (text_[k] == static_cast<Ch>(needle[0]) && matches_at(k, needle)) return k;
        return kNone;
    }

    bool matches_at(size_t pos, std::string_view needle) const {
        if (size_ - pos < needle.size()) return false;
        for (size_t m = 0; m < needle.size(); ++m)
            if (text_[pos + m] != static_cast<Ch>(needle[m])) return false;
        return true;
    }

    // End of the region starting at `pos` (a region boundary of the cached run).
    size_t region_end(size_t pos) const {
        for (int k = 0; k < run_.regions; ++k)
            if (run_.bounds[k] <= pos && pos < run_.bounds[k + 1]) return run_.bounds[k + 1];
        return pos + 1;  // not reached: the walk never stops inside a region
    }

    // Start of a live "bearer" (any letter case) ending the fully live run `r` at or after
    // `from`, or kNone. Only such a word can be followed by white space.
    size_t bearer_in(const Run &r, size_t from) const {
        if (r.live_end != r.end || r.end < from + kBearer.size()) return kNone;
        size_t b = r.end - kBearer.size();
        for (size_t m = 0; m < kBearer.size(); ++m) {
            Py_UCS4 c = text_[b + m];
            if ((c | 0x20) != static_cast<Py_UCS4>(kBearer[m])) return kNone;
        }
        return b;
    }

    size_t skip_space(size_t pos) const {
        while (pos < size_ && is_space(text_[pos])) ++pos;
        return pos;
    }

    bool marker_at(size_t pos) const { return matches_at(pos, kMarker); }

    // What stands at `pos`, as the later passes see it; for a marker, where it ends.
    Next classify(size_t pos, size_t &after_marker) {
        Py_UCS4 c = text_[pos];
        if (is_word(c)) {
            const Run &r = run_at(pos);
            if (pos < r.live_end) return Next::LiveClass;
            after_marker = region_end(pos);
            return Next::Marker;
        }
        if (c == '<' && marker_at(pos)) {
            after_marker = pos + kMarker.size();
            return Next::Marker;
        }
        return is_bearer_class(c) ? Next::LiveClass : Next::Other;
    }

    // End of the pass-4 credential starting at `pos`: live class characters up to the first
    // other character or redacted region.
    size_t class_run_end(size_t pos) {
        while (pos < size_) {
            Py_UCS4 c = text_[pos];
            if (is_word(c)) {
                const Run &r = run_at(pos);
                if (pos >= r.live_end) break;
                pos = r.live_end;
                if (r.live_end < r.end) break;
            } else if (is_bearer_class(c)) {
                ++pos;
            } else {
                break;
            }
        }
        return pos;
    }

    // End of a pass-5 tail starting at `pos`: class characters and markers, where a pass-4
    // match inside the tail counts as its marker.
    size_t tail_end(size_t pos) {
        while (pos < size_) {
            Py_UCS4 c = text_[pos];
            if (is_word(c)) {
                const Run &r = run_at(pos);
                if (pos >= r.live_end) {
                    pos = region_end(pos);
                    continue;
                }
                size_t b = bearer_in(r, pos);
                if (b == kNone) {
                    pos = r.live_end;
                    continue;
                }
                size_t after_word = b + kBearer.size();
                size_t j = skip_space(after_word);
                if (j == after_word) {
                    pos = after_word;
                    continue;
                }
                size_t unused = 0;
                if (j < size_ && classify(j, unused) == Next::LiveClass) {
                    pos = class_run_end(j);
                    continue;
                }
                return after_word;  // the white space ends the tail
            }
            if (c == '<' && marker_at(pos)) {
                pos += kMarker.size();
            } else if (is_bearer_class(c)) {
                ++pos;
            } else {
                break;
            }
        }
        return pos;
    }

    // [from, to) becomes one marker; the live text before it is copied first.
    void replace(size_t from, size_t to) {
        if (!changed_) {
            out_->reserve(size_ + kMarker.size());
            changed_ = true;
        }
        out_->insert(out_->end(), text_ + flushed_, text_ + from);
        for (char c : kMarker) out_->push_back(static_cast<Ch>(c));
        flushed_ = to;
    }

    const Ch *text_;
    size_t size_;
    Run run_;
    std::vector<Ch> *out_ = nullptr;
    size_t flushed_ = 0;
    bool changed_ = false;
};

template <typename Ch>
nb::object scan_as(PyObject *value, int kind) {
    const Ch *data = static_cast<const Ch *>(PyUnicode_DATA(value));
    size_t size = static_cast<size_t>(PyUnicode_GET_LENGTH(value));
    std::vector<Ch> out;
    Scanner<Ch> scanner(data, size);
    if (!scanner.run(out)) {
        if (PyUnicode_CheckExact(value)) return nb::borrow(value);
        // The host's re.sub gives a plain str for a subclass too.
        PyObject *copy = PyUnicode_FromKindAndData(kind, data, static_cast<Py_ssize_t>(size));
        if (!copy) throw nb::python_error();
        return nb::steal(copy);
    }
    PyObject *result = PyUnicode_FromKindAndData(kind, out.data(), static_cast<Py_ssize_t>(out.size()));
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

// `value` must be a str (subclasses included).
nb::object scan(PyObject *value) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(value) < 0) throw nb::python_error();
#endif
    int kind = PyUnicode_KIND(value);
    switch (kind) {
        case PyUnicode_1BYTE_KIND: return scan_as<Py_UCS1>(value, kind);
        case PyUnicode_2BYTE_KIND: return scan_as<Py_UCS2>(value, kind);
        default: return scan_as<Py_UCS4>(value, kind);
    }
}

// ---- module state and per-call view of the module's attributes --------------------------------

// Set once at load: the objects the module starts with, to tell whether a caller rebound them.
struct State {
    nb::object module;
    nb::object marker;
    nb::object patterns[4];
    nb::object redact, redact_text, is_secret_key;
};
using StatePtr = std::shared_ptr<State>;

// The module's attributes as one top-level call sees them (read on first use, as a Python
// function reads its globals).
class Call {
public:
    explicit Call(const StatePtr &state) : s_(*state) {}

    nb::handle marker() {
        if (!marker_.is_valid()) marker_ = s_.module.attr(ORVEX_STR("_REDACTED"));
        return marker_;
    }
    nb::handle secret_keys() {
        if (!secret_keys_.is_valid()) secret_keys_ = s_.module.attr(ORVEX_STR("_SECRET_KEYS"));
        return secret_keys_;
    }
    nb::handle redact_fn() {
        if (!redact_.is_valid()) redact_ = s_.module.attr(ORVEX_STR("redact"));
        return redact_;
    }
    nb::handle redact_text_fn() {
        if (!redact_text_.is_valid()) redact_text_ = s_.module.attr(ORVEX_STR("redact_text"));
        return redact_text_;
    }
    nb::handle is_secret_key_fn() {
        if (!is_secret_key_.is_valid()) is_secret_key_ = s_.module.attr(ORVEX_STR("_is_secret_key"));
        return is_secret_key_;
    }
    bool own_redact() { return redact_fn().ptr() == s_.redact.ptr(); }
    bool own_redact_text() { return redact_text_fn().ptr() == s_.redact_text.ptr(); }
    bool own_is_secret_key() { return is_secret_key_fn().ptr() == s_.is_secret_key.ptr(); }

    nb::object re() { return s_.module.attr(ORVEX_STR("re")); }

    nb::handle patterns() {
        if (!patterns_.is_valid()) patterns_ = s_.module.attr(ORVEX_STR("_TOKEN_PATTERNS"));
        return patterns_;
    }

    // The scanner stands for the four original patterns and the "<redacted>" marker only.
    bool scanner_applies() {
        if (!scanner_applies_.has_value()) {
            nb::handle list = patterns();
            bool same = PyList_CheckExact(list.ptr()) && PyList_GET_SIZE(list.ptr()) == 4;
            for (Py_ssize_t k = 0; same && k < 4; ++k)
                same = PyList_GET_ITEM(list.ptr(), k) == s_.patterns[k].ptr();
            nb::handle mark = marker();
            same = same && (mark.ptr() == s_.marker.ptr() ||
                            (PyUnicode_CheckExact(mark.ptr()) &&
                             PyUnicode_CompareWithASCIIString(mark.ptr(), std::string(kMarker).c_str()) == 0));
            scanner_applies_ = same;
        }
        return *scanner_applies_;
    }

private:
    const State &s_;
    nb::object marker_, secret_keys_, redact_, redact_text_, is_secret_key_, patterns_;
    std::optional<bool> scanner_applies_;
};

// ---- redact_text -----------------------------------------------------------------------------

// The bearer-tail rule as a host pattern, for a marker other than the scanner's.
nb::object bearer_tail_pattern(nb::handle re, nb::handle marker) {
    nb::object escaped = re.attr("escape")(marker);
    nb::object source = nb::str("(?i)(bearer\\s+(?-i:{0}))(?:[A-Za-z0-9._~+/=-]|(?-i:{0}))*").format(escaped);
    return re.attr("compile")(source);
}

// The passes through the host's `re`: used when the module's patterns or marker were rebound,
// and for a value that is not text (the host then raises its own TypeError).
nb::object redact_text_by_host(Call &call, nb::handle value) {
    nb::object text = nb::borrow(value);
    nb::handle marker = call.marker();
    nb::object iterator = nb::steal(PyObject_GetIter(call.patterns().ptr()));
    if (!iterator.is_valid()) throw nb::python_error();
    while (PyObject *item = PyIter_Next(iterator.ptr())) {
        nb::object pattern = nb::steal(item);
        text = pattern.attr("sub")(marker, text);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return bearer_tail_pattern(call.re(), marker).attr("sub")(nb::str("\\1"), text);
}

nb::object redact_text(Call &call, nb::handle value) {
    if (PyUnicode_Check(value.ptr()) && call.scanner_applies()) return scan(value.ptr());
    return redact_text_by_host(call, value);
}

// ---- _is_secret_key --------------------------------------------------------------------------

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

bool is_secret_key(Call &call, nb::handle key) {
    if (PyUnicode_CheckExact(key.ptr()) && PyUnicode_IS_ASCII(key.ptr())) {
        // ASCII text: lower case and "-" to "_" without a round trip through the host.
        const char *data = reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(key.ptr()));
        std::string normalized(data, static_cast<size_t>(PyUnicode_GET_LENGTH(key.ptr())));
        bool unchanged = true;
        for (char &c : normalized) {
            char n = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : (c == '-' ? '_' : c);
            unchanged = unchanged && n == c;
            c = n;
        }
        nb::object as_text = unchanged ? nb::borrow(key)
                                       : nb::str(normalized.data(), normalized.size());
        if (contains(call.secret_keys(), as_text)) return true;
        std::string_view view(normalized);
        for (std::string_view suffix : kSecretSuffixes)
            if (view.size() >= suffix.size() && view.substr(view.size() - suffix.size()) == suffix)
                return true;
        return false;
    }
    // Anything else goes through its own methods, as in Python (a key that is not text fails
    // with the host's AttributeError).
    nb::object normalized = key.attr(ORVEX_STR("lower"))().attr(ORVEX_STR("replace"))("-", "_");
    if (contains(call.secret_keys(), normalized)) return true;
    for (std::string_view suffix : kSecretSuffixes)
        if (host::truthy(normalized.attr("endswith")(nb::str(suffix.data(), suffix.size()))))
            return true;
    return false;
}

// ---- redact ----------------------------------------------------------------------------------

// The host's recursion limit counts the levels, but a caller may raise it far beyond what the
// C stack of its thread holds. Past a shallow depth each level also checks how much of this
// thread's stack is left, and stops with RecursionError while enough remains for the host calls
// made from the deepest level.
class StackGuard {
public:
    static constexpr int kCheckFrom = 64;
    static constexpr uintptr_t kReserve = 256 * 1024;
    static constexpr int kCeilingWithoutBounds = 5000;

    bool exhausted(int depth) {
        if (depth < kCheckFrom) return false;
        if (!probed_) probe();
        if (floor_ == 0) return depth >= kCeilingWithoutBounds;
        // The frame address, not a local's: a sanitizer may keep locals off the real stack.
        return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < floor_;
    }

private:
    void probe() {
        probed_ = true;
#if defined(__linux__)
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
        void *low = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &low, &size) == 0)
            floor_ = reinterpret_cast<uintptr_t>(low) + std::min<uintptr_t>(kReserve, size / 4);
        pthread_attr_destroy(&attr);
#endif
    }

    bool probed_ = false;
    uintptr_t floor_ = 0;
};

class Walker {
public:
    explicit Walker(Call &call) : call_(call) {}

    nb::object redact(nb::handle value, nb::handle key) {
        if (key_is_secret(key)) return nb::borrow(call_.marker());
        PyObject *v = value.ptr();
        if (PyUnicode_Check(v)) {
            if (call_.own_redact_text()) return redact_text(call_, value);
            return call_.redact_text_fn()(value);
        }
        bool is_dict = PyDict_Check(v), is_list = PyList_Check(v), is_tuple = PyTuple_Check(v);
        if (!is_dict && !is_list && !is_tuple) return nb::borrow(value);

        Depth depth(depth_, stack_);
        if (is_dict) return walk_dict(value);
        if (is_list) return walk_list(value);
        return walk_tuple(value);
    }

private:
    // One level of nesting: counted against the host's recursion limit and the thread's stack.
    struct Depth {
        Depth(int &depth, StackGuard &stack) : depth_(depth) {
            if (stack.exhausted(depth_)) {
                PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
                throw nb::python_error();
            }
            if (Py_EnterRecursiveCall("")) throw nb::python_error();
            ++depth_;
        }
        ~Depth() {
            --depth_;
            Py_LeaveRecursiveCall();
        }
        int &depth_;
    };

    bool key_is_secret(nb::handle key) {
        if (PyUnicode_CheckExact(key.ptr())) {
            if (PyUnicode_GET_LENGTH(key.ptr()) == 0) return false;
        } else if (!host::truthy(key)) {
            return false;
        }
        if (call_.own_is_secret_key()) return is_secret_key(call_, key);
        return host::truthy(call_.is_secret_key_fn()(key));
    }

    // A nested value goes through the module's `redact`, as the Python function's recursion does.
    nb::object nested(nb::handle value, nb::handle key) {
        if (call_.own_redact()) return redact(value, key);
        return host::call(call_.redact_fn(), nb::make_tuple(value), host::kwargs({{ORVEX_STR("key"), key}}));
    }

    nb::object nested(nb::handle value) {
        if (call_.own_redact()) return redact(value, empty_key());
        return call_.redact_fn()(value);
    }

    nb::handle empty_key() {
        if (!empty_.is_valid()) empty_ = nb::str("");
        return empty_;
    }

    static nb::object key_text(nb::handle key) {
        if (PyUnicode_CheckExact(key.ptr())) return nb::borrow(key);
        return host::str(key);
    }

    void put(nb::dict &result, nb::handle key, nb::handle value) {
        nb::object text = key_text(key);
        nb::object redacted = nested(value, text);
        if (PyDict_SetItem(result.ptr(), text.ptr(), redacted.ptr()) < 0) throw nb::python_error();
    }

    nb::object walk_dict(nb::handle value) {
        nb::dict result;
        if (PyDict_CheckExact(value.ptr())) {
            Py_ssize_t size = PyDict_GET_SIZE(value.ptr()), pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(value.ptr(), &pos, &k, &v)) {
                nb::object key = nb::borrow(k), item = nb::borrow(v);  // held across host calls
                put(result, key, item);
                if (PyDict_GET_SIZE(value.ptr()) != size) {
                    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                    throw nb::python_error();
                }
            }
            return result;
        }
        // A subclass walks its entries through its own items().
        nb::object items = value.attr("items")();
        for (nb::handle entry : items) {
            std::vector<nb::object> pair = host::unpack(entry, 2);
            put(result, pair[0], pair[1]);
        }
        return result;
    }

    nb::object walk_list(nb::handle value) {
        nb::list result;
        if (PyList_CheckExact(value.ptr())) {
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(value.ptr()); ++k) {
                nb::object item = nb::borrow(PyList_GET_ITEM(value.ptr(), k));
                result.append(nested(item));
            }
            return result;
        }
        for (nb::handle item : value) result.append(nested(item));
        return result;
    }

    nb::object walk_tuple(nb::handle value) {
        nb::list items;
        if (PyTuple_CheckExact(value.ptr())) {
            for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(value.ptr()); ++k)
                items.append(nested(nb::handle(PyTuple_GET_ITEM(value.ptr(), k))));
        } else {
            for (nb::handle item : value) items.append(nested(item));
        }
        PyObject *tuple = PyList_AsTuple(items.ptr());
        if (!tuple) throw nb::python_error();
        return nb::steal(tuple);
    }

    Call &call_;
    int depth_ = 0;
    StackGuard stack_;
    nb::object empty_;
};

// ---- module constants ------------------------------------------------------------------------

nb::str text_of(std::string_view s) { return nb::str(s.data(), s.size()); }

// re.compile(prefix + word class + quantifier); the prefixes hold no metacharacters.
nb::object compile_prefixed(nb::handle re, std::string_view prefix, nb::handle quantifier) {
    nb::object source = nb::str("{}[A-Za-z0-9_-]{}").format(text_of(prefix), quantifier);
    return re.attr("compile")(source);
}

nb::list token_patterns(nb::handle re) {
    nb::list patterns;
    patterns.append(compile_prefixed(re, kConnectPrefix, nb::str("+")));
    nb::object at_least = nb::str("{{{},}}").format(kCredentialMinTail);
    for (std::string_view prefix : kCredentialPrefixes) patterns.append(compile_prefixed(re, prefix, at_least));
    nb::object ignore_case = re.attr("IGNORECASE");
    patterns.append(re.attr("compile")(nb::str("Bearer\\s+[A-Za-z0-9._~+/=-]+"), ignore_case));
    return patterns;
}

constexpr const char *kModuleDoc =
    "Secret redaction: removes credentials from values before they are shown, logged or\n"
    "returned as a redacted view.\n\n"
    "A value stored under a secret key name (_is_secret_key) is replaced whole by _REDACTED;\n"
    "text anywhere in a nested value is scrubbed by redact_text: every match of the four\n"
    "patterns of _TOKEN_PATTERNS, applied one after the other, becomes \"<redacted>\", and then\n"
    "whatever of a credential still follows a marker standing after \"Bearer\" and white space\n"
    "(class characters [A-Za-z0-9._~+/=-] and further markers) is dropped, so that\n"
    "\"Bearer ok_...payload.sig\" becomes \"Bearer <redacted>\".\n\n"
    "redact_text is a native scanner giving exactly the text of those passes through the host's\n"
    "`re` (Unicode white space, case-insensitive \"Bearer\" and class as `re` reads them); when\n"
    "_TOKEN_PATTERNS or _REDACTED is rebound, the host's patterns run instead. Memory: one\n"
    "output buffer the size of the result. redact walks dicts, lists and tuples natively, one\n"
    "level of the host's recursion limit per level of nesting and never deeper than the thread's\n"
    "stack allows, so deep or self-containing values raise RecursionError.\n\n"
    "_CONNECT_PREFIX and _CREDENTIAL_PREFIXES are the token prefixes of the whole system.";

}  // namespace

NB_MODULE(redaction, m) {
    m.doc() = kModuleDoc;
    using orvex::coro::def_function;

    nb::object re = host::import_module("re");
    m.attr("re") = re;

    nb::list credential_prefixes;
    for (std::string_view prefix : kCredentialPrefixes) credential_prefixes.append(text_of(prefix));
    m.attr("_CONNECT_PREFIX") = text_of(kConnectPrefix);
    m.attr("_CREDENTIAL_PREFIXES") = nb::tuple(credential_prefixes);

    nb::set secret_keys;
    for (const char *name : kSecretKeys) secret_keys.add(nb::str(name));
    m.attr("_SECRET_KEYS") = secret_keys;
    nb::list patterns = token_patterns(re);
    m.attr("_TOKEN_PATTERNS") = patterns;
    m.attr("_REDACTED") = text_of(kMarker);

    auto state = std::make_shared<State>();
    state->module = nb::borrow(m);
    state->marker = m.attr("_REDACTED");
    for (size_t k = 0; k < 4; ++k) state->patterns[k] = patterns[k];

    def_function(
        m, "_is_secret_key", "(key)",
        "Whether a value stored under this key name must be hidden whole.\n\n"
        "The name is lower-cased with \"-\" turned into \"_\"; it is secret when it is one of\n"
        "_SECRET_KEYS or ends with \"_token\", \"_secret\", \"_password\" or \"_api_key\".",
        [state](nb::object key) {
            Call call(state);
            return is_secret_key(call, key);
        },
        nb::arg("key").none());
    def_function(
        m, "redact_text", "(value)",
        "The text with every credential-shaped substring replaced by \"<redacted>\".",
        [state](nb::object value) {
            Call call(state);
            return redact_text(call, value);
        },
        nb::arg("value").none());
    def_function(
        m, "redact", "(value, *, key='')",
        "The value with its secret parts replaced (same shape; new containers where walked).\n\n"
        "A value under a secret key name is replaced whole; text is scrubbed with redact_text;\n"
        "dicts (keys made text), lists and tuples are walked; anything else is returned as it is.",
        [state](nb::object value, nb::object key) {
            Call call(state);
            return Walker(call).redact(value, key);
        },
        nb::arg("value").none(), nb::kw_only(), nb::arg("key").none() = nb::str(""));
    def_function(
        m, "redact_dict", "(value)", "redact() of a mapping.",
        [state](nb::object value) { return state->module.attr(ORVEX_STR("redact"))(value); },
        nb::arg("value").none());
    def_function(
        m, "redact_list", "(value)", "redact() of a list.",
        [state](nb::object value) { return state->module.attr(ORVEX_STR("redact"))(value); },
        nb::arg("value").none());

    state->redact = m.attr("redact");
    state->redact_text = m.attr("redact_text");
    state->is_secret_key = m.attr("_is_secret_key");
}
