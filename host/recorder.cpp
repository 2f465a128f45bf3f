#include "recorder.h"

#include "record_spool.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>
#endif

namespace korvin {

#if !defined(_WIN32)
namespace {

// What the signal handler appends: made before, so that the handler only
// copies bytes. Two buffers, so that one is whole while the other is made.
struct interrupted_line {
    char spool[1024];
    char lock[1040];
    std::string text;
};
interrupted_line lines[2];
volatile sig_atomic_t ready = -1; // the buffer the handler may use, or -1

void on_signal(int signal) {
    const int which = ready;
    if (which >= 0) {
        const interrupted_line& line = lines[which];
        const int lock = ::open(line.lock, O_WRONLY | O_CREAT | O_APPEND, 0644);
        // This process may hold the lock itself (the signal came during an
        // append): wait a while for it, then write without it.
        for (int i = 0; lock >= 0 && i < 100 && flock(lock, LOCK_EX | LOCK_NB) != 0; ++i) {
            const timespec pause{0, 10000000};
            nanosleep(&pause, nullptr);
        }
        const int fd = ::open(line.spool, O_RDWR | O_CREAT | O_APPEND, 0644);
        char last = '\n';
        if (fd >= 0 && lseek(fd, -1, SEEK_END) >= 0 && read(fd, &last, 1) == 1 && last != '\n')
            (void)!::write(fd, "\n", 1);
        if (fd >= 0) {
            (void)!::write(fd, line.text.data(), line.text.size());
            close(fd);
        }
        if (lock >= 0)
            close(lock);
    }
    ::signal(signal, SIG_DFL);
    raise(signal);
}

} // namespace
#endif

void run_recorder::mark_interrupted_on_signal() {
#if !defined(_WIN32)
    on_signal_ = true;
    ::signal(SIGINT, on_signal);
    ::signal(SIGTERM, on_signal);
    prepare_interrupted();
#endif
}

void run_recorder::prepare_interrupted() {
#if !defined(_WIN32)
    if (!on_signal_ || !store_)
        return;
    const int which = ready == 0 ? 1 : 0;
    interrupted_line& line = lines[which];
    const std::string spool = record_spool_path(url_);
    if (spool.size() >= sizeof line.spool)
        return;
    std::strcpy(line.spool, spool.c_str());
    std::strcpy(line.lock, (spool + ".lock").c_str());
    spool_entry entry;
    entry.op = spool_entry::UPDATE_RUN;
    entry.run = run_;
    entry.run.outcome = "interrupted";
    entry.run.ended_at = record_utc_now(); // the last news of the run
    line.text = spool_line(entry) + "\n";
    // The folder must be there before a signal comes.
    std::error_code made;
    std::filesystem::create_directories(std::filesystem::path(spool).parent_path(), made);
    ready = which;
#endif
}

bool run_recorder::open(const std::string& url, std::string& reason) {
    url_ = url;
    store_ = open_record_store(url, reason);
    if (!store_)
        return false;
    std::string error;
    const int sent = spool_replay(url, *store_, error);
    if (sent < 0)
        std::fprintf(stderr, "Could not send the spool %s to the record store: %s.\n",
                     record_spool_path(url).c_str(), error.c_str());
    else if (sent > 0)
        std::fprintf(stderr, "Sent %d spooled record%s to the record store.\n", sent,
                     sent == 1 ? "" : "s");
    return true;
}

void run_recorder::write(int op) {
    spool_entry entry;
    entry.op = static_cast<spool_entry::kind>(op);
    entry.run = run_;
    entry.test = test_;
    std::string error;
    if (!spooling_) {
        const bool ok = op == spool_entry::BEGIN_RUN  ? store_->begin_run(run_, error)
                        : op == spool_entry::ADD_TEST ? store_->add_test(test_, error)
                                                      : store_->update_run(run_, error);
        if (ok)
            return;
        // Once one write went to the spool all later ones of the run follow
        // it there, so that the store receives them in order.
        spooling_ = true;
        std::fprintf(stderr,
                     "The record store failed (%s); the test goes on and its record is kept "
                     "in %s until a later korvin sends it.\n",
                     error.c_str(), record_spool_path(url_).c_str());
    }
    if (!spool_append(url_, entry, error))
        std::fprintf(stderr, "Could not keep the record in the spool: %s.\n", error.c_str());
}

void run_recorder::begin(const record_run& run) {
    run_ = run;
    run_.run_key = record_new_run_key();
    run_.started_at = record_utc_now();
    run_.ended_at.clear();
    run_.outcome = "running";
    run_.error.reset();
    spooling_ = false;
    logged_ = std::chrono::steady_clock::now();
    if (store_)
        write(spool_entry::BEGIN_RUN);
    prepare_interrupted();
}

void run_recorder::test_ended(record_test test, const std::string& log) {
    test.run_key = run_.run_key;
    test_ = std::move(test);
    run_.log = log;
    if (!store_)
        return;
    write(spool_entry::ADD_TEST);
    const auto now = std::chrono::steady_clock::now();
    if (now - logged_ < std::chrono::seconds(LOG_UPDATE_SECONDS))
        return;
    logged_ = now;
    write(spool_entry::UPDATE_RUN);
    prepare_interrupted();
}

void run_recorder::end(const std::string& outcome, const std::optional<std::string>& error,
                       const std::string& log) {
#if !defined(_WIN32)
    ready = -1;
#endif
    run_.ended_at = record_utc_now();
    run_.outcome = outcome;
    run_.error = error;
    run_.log = log;
    if (!store_)
        return;
    write(spool_entry::UPDATE_RUN);
    if (!spooling_)
        return;
    // The store may be back by now (a server restarted): send the spool at
    // once rather than wait for the next run.
    std::string reason;
    if (spool_replay(url_, *store_, reason) >= 0)
        std::fprintf(stderr, "The record store is back; the spooled record was sent.\n");
}

} // namespace korvin
