#include "recorder.h"

#include "record_spool.h"

#include <cstdio>

namespace korvin {

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
    if (store_)
        write(spool_entry::BEGIN_RUN);
}

void run_recorder::test_ended(record_test test, const std::string& log) {
    test.run_key = run_.run_key;
    test_ = std::move(test);
    run_.log = log;
    if (!store_)
        return;
    write(spool_entry::ADD_TEST);
    write(spool_entry::UPDATE_RUN);
}

void run_recorder::end(const std::string& outcome, const std::optional<std::string>& error,
                       const std::string& log) {
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
