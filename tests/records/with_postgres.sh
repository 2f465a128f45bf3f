#!/bin/sh
# Runs a command against a throw-away PostgreSQL server (pg_virtualenv, from
# postgresql-common), with KORVIN_TEST_STORE=postgres. Exit 77, "skipped",
# when no server can start here.
if ! command -v pg_virtualenv >/dev/null 2>&1; then
    echo "SKIPPED: pg_virtualenv is not installed (postgresql-common)"
    exit 77
fi
started=$(mktemp -u /tmp/korvin-pg-started.XXXXXX)
pg_virtualenv sh -c 'touch "$0"; KORVIN_TEST_STORE=postgres exec "$@"' "$started" "$@"
status=$?
if [ ! -e "$started" ]; then
    echo "SKIPPED: pg_virtualenv could not start a PostgreSQL server"
    exit 77
fi
rm -f "$started"
exit $status
