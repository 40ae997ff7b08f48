#!/usr/bin/python3
"""Reads an .xls file back for the tests, independently of the program.

  xlsread.py FILE                 cells as read by xlrd, plus a strict check of
                                  the records (string table, EXTSST, sheet
                                  offsets, INDEX/DBCELL)
  xlsread.py --libreoffice FILE   cells as LibreOffice reads them (via CSV)
  xlsread.py --ssconvert FILE     cells as Gnumeric's ssconvert reads them
  xlsread.py --stream FILE        size and SHA-256 of the Workbook stream, as
                                  read by xlrd's and (if present) olefile's
                                  Compound File readers

Prints one JSON object. Everything a reader complained about, and every rule
of the format the file breaks, is listed in "problems".
"""
import csv
import glob
import hashlib
import io
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile

import xlrd
import xlrd.compdoc

# Progress lines of a conversion; anything else LibreOffice prints is a problem
# (except that it finds no Java, which has nothing to do with the file).
LIBREOFFICE_CHATTER = ('convert ', 'Writing sheet ')
MAX_RECORD = 8224
SST, CONTINUE, EXTSST, BOUNDSHEET, BOF, EOF = 0x00FC, 0x003C, 0x00FF, 0x0085, 0x0809, 0x000A
INDEX, DBCELL, ROW, LABELSST, DEFCOLWIDTH = 0x020B, 0x00D7, 0x0208, 0x00FD, 0x0055


def records(stream, start):
    """(position, id, data) of the records from `start` to the next EOF."""
    pos = start
    while pos + 4 <= len(stream):
        rid, size = struct.unpack_from('<HH', stream, pos)
        yield pos, rid, stream[pos + 4:pos + 4 + size]
        pos += 4 + size
        if rid == EOF:
            return


def record_at(stream, pos):
    rid, size = struct.unpack_from('<HH', stream, pos)
    return rid, stream[pos + 4:pos + 4 + size]


def check_sst(segments, problems):
    """Strictly parses SST + CONTINUE: the strings, where each starts (stream
    position, offset in its record) and the cell count; None when unreadable."""
    strings, starts = [], []
    if not segments:
        problems.append('no SST')
        return None
    seg, (rec_pos, data) = 0, segments[0]
    total, unique = struct.unpack_from('<II', data, 0)
    pos = 8
    for i in range(unique):
        if pos == len(data):
            seg += 1
            rec_pos, data = segments[seg]
            pos = 0
        if len(data) - pos < 3:
            problems.append('string %d: header split across records' % i)
            return None
        starts.append((rec_pos + 4 + pos, 4 + pos))
        cch, flags = struct.unpack_from('<HB', data, pos)
        pos += 3
        if flags & ~1:
            problems.append('string %d: unexpected option flags %#x' % (i, flags))
        units, first = [], True
        while len(units) < cch:
            width = 2 if flags & 1 else 1
            take = min((len(data) - pos) // width, cch - len(units))
            if take == 0 and first:
                problems.append('string %d: header without its first character' % i)
            chunk = data[pos:pos + take * width]
            units += list(struct.unpack('<%dH' % take, chunk)) if width == 2 else list(chunk)
            pos += take * width
            first = False
            if len(units) < cch:
                left = len(data) - pos
                if units and 0xD800 <= units[-1] <= 0xDBFF:
                    problems.append('string %d: surrogate pair split across records' % i)
                if left >= width and not (left == 2 and width == 2):
                    problems.append('string %d: continued with %d bytes left' % (i, left))
                seg += 1
                if seg >= len(segments):
                    problems.append('string %d: runs past the last CONTINUE' % i)
                    return None
                rec_pos, data = segments[seg]
                flags, pos = data[0], 1
        strings.append(struct.pack('<%dH' % len(units), *units).decode('utf-16-le'))
    if pos != len(data) or seg != len(segments) - 1:
        problems.append('bytes left after the last string')
    return strings, starts, total


def check_structure(stream, problems):
    """Checks the layout rules that lenient readers do not need."""
    glob_records = list(records(stream, 0))
    if not glob_records or glob_records[0][1] != BOF or struct.unpack_from('<H', glob_records[0][2], 2)[0] != 5:
        problems.append('stream does not start with the globals BOF')
        return
    segments, sheets, extsst, prev = [], [], None, None
    for pos, rid, data in glob_records:
        if len(data) > MAX_RECORD:
            problems.append('record %#x at %d longer than %d' % (rid, pos, MAX_RECORD))
        if rid == SST or (rid == CONTINUE and segments and prev == SST):
            segments.append((pos, data))
            prev = SST
            continue
        prev = rid
        if rid == BOUNDSHEET:
            sheets.append(struct.unpack_from('<I', data, 0)[0])
        elif rid == EXTSST:
            extsst = data
    parsed = check_sst(segments, problems)
    if parsed is None:
        return
    strings, starts, total = parsed
    if extsst is None:
        problems.append('no EXTSST')
    else:
        dsst = struct.unpack_from('<H', extsst, 0)[0]
        entries = (len(extsst) - 2) // 8
        if dsst < 8 or entries != (len(strings) + dsst - 1) // dsst or entries > 128:
            problems.append('EXTSST: %d entries of %d strings for %d strings' % (entries, dsst, len(strings)))
        for k in range(min(entries, len(starts[::dsst]))):
            ib, cb = struct.unpack_from('<IH', extsst, 2 + 8 * k)
            if (ib, cb) != starts[k * dsst]:
                problems.append('EXTSST entry %d: %s, string at %s' % (k, (ib, cb), starts[k * dsst]))

    cells = 0
    end = glob_records[-1][0] + 4
    for number, bof in enumerate(sheets):
        rid, data = record_at(stream, bof)
        if rid != BOF or struct.unpack_from('<H', data, 2)[0] != 0x10:
            problems.append('sheet %d: no worksheet BOF at %d' % (number, bof))
            continue
        sheet_records = list(records(stream, bof))
        end = max(end, sheet_records[-1][0] + 4)
        cells += sum(1 for _, rid, _ in sheet_records if rid == LABELSST)
        index = [data for _, rid, data in sheet_records if rid == INDEX]
        if not index:
            problems.append('sheet %d: no INDEX' % number)
            continue
        index = index[0]
        if record_at(stream, struct.unpack_from('<I', index, 12)[0])[0] != DEFCOLWIDTH:
            problems.append('sheet %d: INDEX does not point at DEFCOLWIDTH' % number)
        for k in range((len(index) - 16) // 4):
            at = struct.unpack_from('<I', index, 16 + 4 * k)[0]
            rid, dbcell = record_at(stream, at)
            if rid != DBCELL:
                problems.append('sheet %d: INDEX entry %d does not point at a DBCELL' % (number, k))
                continue
            first_row = at - struct.unpack_from('<I', dbcell, 0)[0]
            rid, row = record_at(stream, first_row)
            if rid != ROW:
                problems.append('sheet %d: DBCELL %d does not point at a ROW' % (number, k))
                continue
            rw = struct.unpack_from('<H', row, 0)[0]
            cell = first_row + 4 + len(row)
            for j in range((len(dbcell) - 4) // 2):
                cell += struct.unpack_from('<H', dbcell, 4 + 2 * j)[0]
                rid, data = record_at(stream, cell)
                if rid != LABELSST or struct.unpack_from('<H', data, 0)[0] != rw + j:
                    problems.append('sheet %d: DBCELL %d offset %d misses row %d' % (number, k, j, rw + j))
    if cells != total:
        problems.append('SST counts %d cells, sheets hold %d' % (total, cells))
    if any(stream[end:]):
        problems.append('non-zero bytes after the last EOF')


def workbook_stream(path, problems):
    with open(path, 'rb') as f:
        data = f.read()
    log = io.StringIO()
    doc = xlrd.compdoc.CompDoc(data, logfile=log)
    stream = doc.get_named_stream('Workbook')
    if log.getvalue():
        problems.append('xlrd compdoc: ' + log.getvalue().strip())
    try:
        import olefile
    except ImportError:
        return stream
    ole = olefile.OleFileIO(path, raise_defects=olefile.DEFECT_INCORRECT)
    if ole.listdir() != [['Workbook']]:
        problems.append('olefile: entries %s' % ole.listdir())
    other = ole.openstream('Workbook').read()
    if other != stream:
        problems.append('olefile reads a different Workbook stream')
    for issue in getattr(ole, 'parsing_issues', []):
        problems.append('olefile: %s' % (issue,))
    ole.close()
    return stream


def read_xlrd(path):
    problems = []
    log = io.StringIO()
    book = xlrd.open_workbook(path, logfile=log, formatting_info=True)
    if log.getvalue():
        problems.append('xlrd: ' + log.getvalue().strip())
    sheets = []
    for sheet in book.sheets():
        rows = []
        for r in range(sheet.nrows):
            row = []
            for c in range(sheet.ncols):
                cell = sheet.cell(r, c)
                if cell.ctype != xlrd.XL_CELL_TEXT:
                    problems.append('%s!R%dC%d is not a text cell' % (sheet.name, r + 1, c + 1))
                row.append(cell.value)
            rows.append(row)
        sheets.append({'name': sheet.name, 'rows': rows})
    check_structure(workbook_stream(path, problems), problems)
    return {'sheets': sheets, 'problems': problems}


def csv_sheets(folder):
    """The sheets that a converter wrote as book-NAME.csv, in sheet order."""
    sheets = []
    for name in glob.glob(os.path.join(folder, 'book-*.csv')):
        with open(name, newline='', encoding='utf-8') as f:
            rows = list(csv.reader(f))
        sheets.append({'name': os.path.basename(name)[5:-4], 'rows': rows})
    sheets.sort(key=lambda s: (len(s['name']), s['name']))
    return sheets


def read_ssconvert(path):
    ssconvert = shutil.which('ssconvert')
    if not ssconvert:
        return {'absent': True}
    with tempfile.TemporaryDirectory() as tmp:
        run = subprocess.run([ssconvert, '-S', '-T', 'Gnumeric_stf:stf_csv', path, os.path.join(tmp, 'book-%s.csv')],
                             capture_output=True, text=True, timeout=300)
        problems = [line for line in (run.stdout + run.stderr).splitlines() if line.strip()]
        if run.returncode:
            problems.append('ssconvert exited with %d' % run.returncode)
        return {'sheets': csv_sheets(tmp), 'problems': problems}


def read_libreoffice(path):
    soffice = shutil.which('soffice') or shutil.which('libreoffice')
    if not soffice:
        return {'absent': True}
    with tempfile.TemporaryDirectory() as tmp:
        profile = 'file://' + os.path.join(tmp, 'profile')
        out = os.path.join(tmp, 'out')
        source = os.path.join(tmp, 'book.xls')
        shutil.copyfile(path, source)
        run = subprocess.run([soffice, '-env:UserInstallation=' + profile, '--headless', '--norestore',
                              '--convert-to', 'csv:Text - txt - csv (StarCalc):44,34,76,1,,0,true,false,false,false,false,-1',
                              '--outdir', out, source], capture_output=True, text=True, timeout=300)
        problems = [line for line in (run.stdout + run.stderr).splitlines()
                    if line.strip() and not line.startswith(LIBREOFFICE_CHATTER)
                    and 'failed to launch javaldx' not in line]
        if run.returncode:
            problems.append('soffice exited with %d' % run.returncode)
        return {'sheets': csv_sheets(out), 'problems': problems}


def read_stream(path):
    problems = []
    stream = workbook_stream(path, problems)
    return {'size': len(stream), 'sha256': hashlib.sha256(stream).hexdigest(), 'problems': problems}


def main():
    args = sys.argv[1:]
    if len(args) == 2 and args[0] == '--libreoffice':
        result = read_libreoffice(args[1])
    elif len(args) == 2 and args[0] == '--ssconvert':
        result = read_ssconvert(args[1])
    elif len(args) == 2 and args[0] == '--stream':
        result = read_stream(args[1])
    elif len(args) == 1:
        result = read_xlrd(args[0])
    else:
        sys.exit(__doc__)
    json.dump(result, sys.stdout, ensure_ascii=False)


if __name__ == '__main__':
    main()
