-- Who may do what on a PostgreSQL server shared by Veltrano's collectors.
--
-- Run once by the owner of the lab's database (who owns the tables):
--   psql -d balances -v ON_ERROR_STOP=1 -f /usr/share/veltrano/postgresql-roles.sql
-- then give each person a login in one of the two roles:
--   CREATE ROLE anna LOGIN IN ROLE veltrano_collector;
--   CREATE ROLE ben LOGIN IN ROLE veltrano_supervisor;
--
-- veltrano_collector  records and reads: inserts and selects rows, their
--                     provenance and weighings, and audit entries; reads the
--                     archive; records balance checks (check_record) and
--                     reads the registers of balances and reference weights.
--                     It may not update or delete anything.
-- veltrano_supervisor a collector who may also Clear: only through the
--                     function veltrano_clear, which moves every row with its
--                     provenance and weighing into the archive; and edits the
--                     registers of balances and reference weights.
-- Changing or deleting a recorded row then needs the database's owner, and
-- veltrano-verify finds it. Running this file again changes nothing.
--
-- Copyright the Veltrano developers. GPL-3.0-or-later.

BEGIN;

DO $$
BEGIN
    -- The rows already there must keep their place before the chains:
    -- Veltrano records it when it makes the provenance table itself.
    IF to_regclass('data') IS NOT NULL AND to_regclass('provenance') IS NULL THEN
        RAISE EXCEPTION 'start Veltrano once with the owner''s login first: it records where the provenance of the rows in "data" begins';
    END IF;
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'veltrano_collector') THEN
        CREATE ROLE veltrano_collector NOLOGIN;
    END IF;
    IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'veltrano_supervisor') THEN
        CREATE ROLE veltrano_supervisor NOLOGIN;
    END IF;
END
$$;
GRANT veltrano_collector TO veltrano_supervisor;

-- The tables as Veltrano makes them, so that no login of the roles ever needs to.
CREATE TABLE IF NOT EXISTS data(sampling_date text COLLATE "C", sampling_time text COLLATE "C",
    instrument_id text, header text, result text, unit text, id bigserial PRIMARY KEY);
CREATE INDEX IF NOT EXISTS data_sampling_order ON data(sampling_date, sampling_time, id);
CREATE TABLE IF NOT EXISTS provenance(row_key bigint PRIMARY KEY, collector text NOT NULL, seq bigint NOT NULL,
    instrument text, tick_utc text, local_offset integer, received_utc text, age_ms bigint, raw bytea, state text,
    host text, os_user text, prev_hash text NOT NULL, hash text NOT NULL, "check" text);
ALTER TABLE provenance ADD COLUMN IF NOT EXISTS "check" text;
CREATE UNIQUE INDEX IF NOT EXISTS provenance_chain ON provenance(collector, seq);
CREATE TABLE IF NOT EXISTS audit(id bigserial PRIMARY KEY, collector text NOT NULL, seq bigint NOT NULL,
    at_utc text, host text, os_user text, kind text, details text, prev_hash text NOT NULL, hash text NOT NULL);
CREATE UNIQUE INDEX IF NOT EXISTS audit_chain ON audit(collector, seq);
CREATE TABLE IF NOT EXISTS weighing(row_key bigint PRIMARY KEY, sample text, series text, trigger text,
    kind text, operator text, class text, nominal text);
CREATE INDEX IF NOT EXISTS weighing_series ON weighing(series);
CREATE TABLE IF NOT EXISTS clears(id bigserial PRIMARY KEY, cleared_at text NOT NULL, cleared_by text NOT NULL);
CREATE TABLE IF NOT EXISTS cleared_data(clear_id bigint NOT NULL, row_key bigint NOT NULL,
    sampling_date text COLLATE "C", sampling_time text COLLATE "C", instrument_id text, header text, result text,
    unit text, cleared_at text NOT NULL, cleared_by text NOT NULL, PRIMARY KEY(clear_id, row_key));
CREATE TABLE IF NOT EXISTS cleared_provenance(clear_id bigint NOT NULL, row_key bigint NOT NULL,
    collector text NOT NULL, seq bigint NOT NULL, instrument text, tick_utc text, local_offset integer,
    received_utc text, age_ms bigint, raw bytea, state text, host text, os_user text, prev_hash text NOT NULL,
    hash text NOT NULL, "check" text, PRIMARY KEY(clear_id, row_key));
CREATE INDEX IF NOT EXISTS cleared_provenance_chain ON cleared_provenance(collector, seq);
CREATE TABLE IF NOT EXISTS cleared_weighing(clear_id bigint NOT NULL, row_key bigint NOT NULL, sample text,
    series text, trigger text, kind text, operator text, class text, nominal text, PRIMARY KEY(clear_id, row_key));
CREATE TABLE IF NOT EXISTS balance(instrument_id text PRIMARY KEY, maker text, model text, serial text,
    capacity double precision, readability double precision, location text, intervals text,
    eccentricity_limit double precision, changed_at text, changed_by text);
CREATE TABLE IF NOT EXISTS reference_weight(id text PRIMARY KEY, nominal double precision, unit text,
    class text, certificate text, due text, changed_at text, changed_by text);
CREATE TABLE IF NOT EXISTS check_record(id bigserial PRIMARY KEY, instrument_id text, test text,
    date text COLLATE "C", time text COLLATE "C", operator text, weight_id text, nominal double precision,
    n integer, mean double precision, sd double precision, deviation double precision, criterion text,
    verdict text, reason text, row_keys text, minimum_weight double precision);
CREATE INDEX IF NOT EXISTS check_record_instrument ON check_record(instrument_id, date, time);

REVOKE ALL ON data, provenance, audit, weighing, clears, cleared_data, cleared_provenance, cleared_weighing,
    balance, reference_weight, check_record FROM PUBLIC;
REVOKE ALL ON data, provenance, audit, weighing, clears, cleared_data, cleared_provenance, cleared_weighing,
    balance, reference_weight, check_record FROM veltrano_collector, veltrano_supervisor;
GRANT SELECT, INSERT ON data, provenance, audit, weighing, check_record TO veltrano_collector;
GRANT SELECT ON clears, cleared_data, cleared_provenance, cleared_weighing, balance, reference_weight
    TO veltrano_collector;
GRANT USAGE ON SEQUENCE data_id_seq, audit_id_seq, check_record_id_seq TO veltrano_collector;
GRANT INSERT, UPDATE ON balance, reference_weight TO veltrano_supervisor;

-- Clear: every row of data, with its provenance and weighing, into the
-- archive under a new clear number, with when and by whom (the operating
-- system's user and host the program names, and the login). The tables are
-- locked until the transaction ends, so that no row a collector commits
-- meanwhile is left half moved; the program appends the audit entry that
-- names the clear in the same transaction.
CREATE OR REPLACE FUNCTION veltrano_clear(p_by text)
    RETURNS TABLE(clear_id bigint, moved_rows bigint, without_provenance bigint)
    LANGUAGE plpgsql SECURITY DEFINER SET search_path = public, pg_temp
AS $$
#variable_conflict use_column
DECLARE
    v_id bigint;
BEGIN
    LOCK TABLE data, provenance, weighing IN SHARE ROW EXCLUSIVE MODE;
    INSERT INTO clears(cleared_at, cleared_by)
        VALUES (to_char(clock_timestamp() AT TIME ZONE 'UTC', 'YYYY-MM-DD"T"HH24:MI:SS.MS"Z"'),
                p_by || ', login ' || session_user)
        RETURNING id INTO v_id;
    INSERT INTO cleared_data(clear_id, row_key, sampling_date, sampling_time, instrument_id, header, result, unit,
                             cleared_at, cleared_by)
        SELECT c.id, d.id, d.sampling_date, d.sampling_time, d.instrument_id, d.header, d.result, d.unit,
               c.cleared_at, c.cleared_by
        FROM data d, clears c WHERE c.id = v_id;
    INSERT INTO cleared_provenance(clear_id, row_key, collector, seq, instrument, tick_utc, local_offset, received_utc,
                                   age_ms, raw, state, host, os_user, prev_hash, hash, "check")
        SELECT v_id, row_key, collector, seq, instrument, tick_utc, local_offset, received_utc, age_ms, raw, state,
               host, os_user, prev_hash, hash, "check"
        FROM provenance;
    INSERT INTO cleared_weighing(clear_id, row_key, sample, series, trigger, kind, operator, class, nominal)
        SELECT v_id, row_key, sample, series, trigger, kind, operator, class, nominal FROM weighing;
    clear_id := v_id;
    moved_rows := (SELECT count(*) FROM cleared_data d WHERE d.clear_id = v_id);
    without_provenance := (SELECT count(*) FROM cleared_data d WHERE d.clear_id = v_id AND NOT EXISTS
                               (SELECT 1 FROM cleared_provenance p WHERE p.clear_id = d.clear_id AND p.row_key = d.row_key));
    DELETE FROM weighing;
    DELETE FROM provenance;
    DELETE FROM data;
    RETURN NEXT;
END
$$;
REVOKE ALL ON FUNCTION veltrano_clear(text) FROM PUBLIC;
GRANT EXECUTE ON FUNCTION veltrano_clear(text) TO veltrano_supervisor;

COMMIT;
