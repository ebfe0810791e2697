// Which precompiled substring searcher should back `vesk::filters::Finder`?
//
// The record decision runs for every call and return of the profiled program and asks up to eighteen
// "does this fragment occur in this filename" questions per event (more with include/ignore fragments
// and plugins). Filenames are short (50-120 bytes) and needles shorter still, so per-call set-up cost
// matters as much as the scan itself. This program times the candidates on such inputs:
//
//   memmem      glibc memmem, nothing prepared
//   horspool    std::boyer_moore_horspool_searcher, skip table prepared once per needle
//   default     std::default_searcher (std::search), prepared once per needle
//   view_find   std::string_view::find (memchr for the first byte, then compare), for reference
//
// Build: cmake -DVESK_BENCH=ON ... && cmake --build <dir> --target bench_finders; run the binary.
// Every figure is the best of several runs (the machine is shared), in nanoseconds per search; the
// last column is the whole default chain (18 needles, first hit wins) per filename.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Keeps the optimiser from hoisting a search out of the timing loop or dropping its result.
template <class T>
void escape(T const& value) {
    asm volatile("" : : "g"(&value) : "memory");
}

class MemmemFinder {
public:
    explicit MemmemFinder(std::string needle) : needle_(std::move(needle)) {}
    bool found_in(std::string_view haystack) const noexcept {
        if (needle_.size() > haystack.size()) {
            return false;
        }
        return memmem(haystack.data(), haystack.size(), needle_.data(), needle_.size()) != nullptr;
    }

private:
    std::string needle_;
};

// The standard searchers keep iterators into the needle, so the needle lives on the heap where a
// move of the finder does not relocate it.
template <template <class...> class Searcher>
class StdFinder {
public:
    explicit StdFinder(std::string needle)
        : needle_(std::make_unique<const std::string>(std::move(needle))),
          searcher_(needle_->data(), needle_->data() + needle_->size()) {}
    bool found_in(std::string_view haystack) const noexcept {
        if (needle_->size() > haystack.size()) {
            return false;
        }
        if (needle_->empty()) {
            return true;
        }
        const char* end = haystack.data() + haystack.size();
        return searcher_(haystack.data(), end).first != end;
    }

private:
    std::unique_ptr<const std::string> needle_;
    Searcher<const char*> searcher_;
};

template <class It>
using Horspool = std::boyer_moore_horspool_searcher<It>;
template <class It>
using Default = std::default_searcher<It>;

class ViewFindFinder {
public:
    explicit ViewFindFinder(std::string needle) : needle_(std::move(needle)) {}
    bool found_in(std::string_view haystack) const noexcept {
        if (needle_.size() > haystack.size()) {
            return false;
        }
        return haystack.find(needle_) != std::string_view::npos;
    }

private:
    std::string needle_;
};

// Filenames of the kinds a profiled web application and its test run produce: user code, the
// standard library, installed packages, the host package itself, frozen modules and exec'd code.
const std::vector<std::string>& filenames() {
    static const std::vector<std::string> names = {
        "/home/alice/projects/shop/src/shop/orders/views.py",
        "/home/alice/projects/shop/src/shop/orders/models/line_item.py",
        "/home/alice/projects/shop/src/shop/payments/providers/stripe_gateway.py",
        "/home/alice/projects/shop/tests/integration/test_checkout_with_discounts.py",
        "/home/alice/projects/shop/src/shop/catalogue/management/commands/reindex.py",
        "/srv/app/releases/2024-06-01T12-00-00/backend/services/notifications/email.py",
        "/usr/lib/python3.11/json/decoder.py",
        "/usr/lib/python3.11/importlib/_bootstrap_external.py",
        "/usr/local/lib/python3.11/concurrent/futures/thread.py",
        "/usr/lib/python3.11/logging/__init__.py",
        "/home/alice/projects/shop/.venv/lib/python3.11/site-packages/django/db/models/query.py",
        "/home/alice/projects/shop/.venv/lib/python3.11/site-packages/django/utils/functional.py",
        "/home/alice/projects/shop/.venv/lib/python3.11/site-packages/rest_framework/serializers.py",
        "/home/alice/.cache/pypoetry/virtualenvs/shop-x1Yz-py3.11/lib/python3.11/site-packages/sqlalchemy/orm/session.py",
        "/opt/venvs/worker/lib/python3.11/site-packages/celery/app/trace.py",
        "/opt/site-packages/vendored/requests/adapters.py",
        "/home/alice/projects/shop/.venv/lib/python3.11/site-packages/vesk/profiler.py",
        "/home/alice/projects/shop/.venv/lib/python3.11/site-packages/vesk/serialize.py",
        "/home/alice/src/vesk/python/vesk/profiler.py",
        "/home/alice/src/vesk/python/vesk/plugins/django_orm.py",
        "<frozen importlib._bootstrap>",
        "<frozen importlib._bootstrap_external>",
        "<frozen posixpath>",
        "<string>",
        "<stdin>",
        "<attrs generated init shop.orders.models.Order>",
        "/home/alice/projects/shop/src/shop/orders/services/fulfilment/warehouse_allocation.py",
        "/home/alice/projects/shop/src/shop/api/v2/endpoints/customers/addresses.py",
    };
    return names;
}

const std::vector<std::string>& single_needles() {
    static const std::vector<std::string> needles = {
        "lib/python", "/site-packages/", "/vesk/profiler.py", "<frozen ", "<string>",
    };
    return needles;
}

// The default sets in the order the record decision tries them.
const std::vector<std::string>& chain_needles() {
    // clang-format off: one needle per line
    static const std::vector<std::string> needles = {
        "lib/python",         "/site-packages/",
        "<frozen ",           "/vesk/config.py",
        "/vesk/db.py",        "/vesk/django_schema.py",
        "/vesk/filters/",     "/vesk/generate_tests/",
        "/vesk/git.py",       "/vesk/__init__.py",
        "/vesk/__main__.py",  "/vesk/middleware.py",
        "/vesk/profiler.py",  "/vesk/pytest_plugin.py",
        "/vesk/serialize.py", "/vesk/utils.py",
        "/vesk/version.py",   "<string>",
    };
    // clang-format on
    return needles;
}

constexpr int ROUNDS = 20000;
constexpr int RUNS = 7;

template <class F>
double best_ns_per_search(F&& one_round, double searches_per_round) {
    double best = 1e300;
    for (int run = 0; run < RUNS; ++run) {
        auto start = std::chrono::steady_clock::now();
        for (int round = 0; round < ROUNDS; ++round) {
            one_round();
        }
        std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count() / (ROUNDS * searches_per_round));
    }
    return best;
}

template <class Finder>
void measure(const char* label) {
    const auto& names = filenames();
    std::vector<std::string_view> haystacks(names.begin(), names.end());

    std::printf("%-10s", label);
    for (const auto& needle : single_needles()) {
        Finder finder(needle);
        double ns = best_ns_per_search(
            [&] {
                size_t hits = 0;
                for (auto haystack : haystacks) {
                    escape(haystack);
                    hits += finder.found_in(haystack);
                }
                escape(hits);
            },
            static_cast<double>(haystacks.size()));
        std::printf(" %8.2f", ns);
    }

    // The whole default decision for one filename: stop at the first hit, as the filters do.
    std::vector<Finder> chain;
    for (const auto& needle : chain_needles()) {
        chain.emplace_back(needle);
    }
    double ns = best_ns_per_search(
        [&] {
            size_t dropped = 0;
            for (auto haystack : haystacks) {
                escape(haystack);
                dropped += std::any_of(chain.begin(), chain.end(),
                                       [&](const Finder& f) { return f.found_in(haystack); });
            }
            escape(dropped);
        },
        static_cast<double>(haystacks.size()));
    std::printf(" %10.2f\n", ns);
}

}  // namespace

int main() {
    std::printf("ns per search, best of %d runs of %d rounds over %zu filenames\n", RUNS, ROUNDS, filenames().size());
    std::printf("%-10s", "finder");
    for (const auto& needle : single_needles()) {
        std::printf(" %8.8s", needle.c_str());
    }
    std::printf(" %10s\n", "chain/file");
    measure<MemmemFinder>("memmem");
    measure<StdFinder<Horspool>>("horspool");
    measure<StdFinder<Default>>("default");
    measure<ViewFindFinder>("view_find");
    return 0;
}
