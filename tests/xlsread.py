#!/usr/bin/python3
# Reads an .xls, .csv or .xlsx file back for the tests, independently of the
# program:
#
#   xlsread.py FILE
#
# prints the cells as xlrd reads them (tableread.py: .csv and .xlsx), as one
# JSON object. Whatever a reader complained about is listed in "problems", with
# every format rule the file breaks: the Workbook stream must read the same
# through xlrd's and olefile's Compound File readers, and the string table
# (SST, CONTINUE, EXTSST) is checked strictly, since xlrd itself reads past
# some faults.
import io
import json
import struct
import sys

import olefile
import xlrd
import xlrd.compdoc

import tableread

SST, CONTINUE, EXTSST, EOF, LABELSST = 0x00FC, 0x003C, 0x00FF, 0x000A, 0x00FD


def check_sst(segments, problems):
    # Parses SST + CONTINUE strictly; returns where each string starts
    # (stream position, offset in its record) and the cell count.
    seg, (rec_pos, data) = 0, segments[0]
    total, unique = struct.unpack_from('<II', data, 0)
    pos, starts = 8, []
    for i in range(unique):
        if pos == len(data):
            seg += 1
            rec_pos, data = segments[seg]
            pos = 0
        if len(data) - pos < 3:
            raise ValueError('string %d: header split across records' % i)
        starts.append((rec_pos + 4 + pos, 4 + pos))
        cch, flags = struct.unpack_from('<HB', data, pos)
        pos, units, first = pos + 3, [], True
        while len(units) < cch:
            width = 2 if flags & 1 else 1
            take = min((len(data) - pos) // width, cch - len(units))
            if take == 0 and first:
                problems.append('string %d: header without its first character' % i)
            chunk = data[pos:pos + take * width]
            units += list(struct.unpack('<%dH' % take, chunk)) if width == 2 else list(chunk)
            pos, first = pos + take * width, False
            if len(units) < cch:
                left = len(data) - pos
                if 0xD800 <= units[-1] <= 0xDBFF:
                    problems.append('string %d: surrogate pair split across records' % i)
                if left >= width and not (left == 2 and width == 2):
                    problems.append('string %d: continued with %d bytes left' % (i, left))
                seg += 1
                rec_pos, data = segments[seg]
                flags, pos = data[0], 1
    if pos != len(data) or seg != len(segments) - 1:
        problems.append('bytes left after the last string')
    return starts, total


def check_structure(stream, problems):
    segments, extsst, cells, pos, prev = [], None, 0, 0, None
    while pos + 4 <= len(stream):
        rid, size = struct.unpack_from('<HH', stream, pos)
        data = stream[pos + 4:pos + 4 + size]
        if size > 8224:
            problems.append('record %#x at %d longer than 8224 bytes' % (rid, pos))
        if rid == SST or (rid == CONTINUE and prev == SST):
            segments.append((pos, data))
            rid = SST
        elif rid == EXTSST:
            extsst = data
        cells += rid == LABELSST
        prev, pos = rid, pos + 4 + size
    starts, total = check_sst(segments, problems)
    dsst = struct.unpack_from('<H', extsst, 0)[0]
    entries = [struct.unpack_from('<IH', extsst, 2 + 8 * k) for k in range((len(extsst) - 2) // 8)]
    if dsst < 8 or entries != starts[::dsst] or len(entries) > 128:
        problems.append('EXTSST: %d entries of %d strings do not match the SST' % (len(entries), dsst))
    if cells != total:
        problems.append('SST counts %d cells, sheets hold %d' % (total, cells))


def workbook_stream(path, problems):
    log = io.StringIO()
    with open(path, 'rb') as f:
        stream = xlrd.compdoc.CompDoc(f.read(), logfile=log).get_named_stream('Workbook')
    ole = olefile.OleFileIO(path, raise_defects=olefile.DEFECT_INCORRECT)
    if ole.listdir() != [['Workbook']] or ole.openstream('Workbook').read() != stream:
        problems.append('olefile reads other entries or another Workbook stream')
    problems += [('compdoc: ' + log.getvalue()).strip()] if log.getvalue() else []
    problems += ['olefile: %s' % (issue,) for issue in getattr(ole, 'parsing_issues', [])]
    return stream


def read_xlrd(path):
    problems, log = [], io.StringIO()
    book = xlrd.open_workbook(path, logfile=log, formatting_info=True)
    problems += [('xlrd: ' + log.getvalue()).strip()] if log.getvalue() else []
    sheets = [{'name': s.name, 'rows': [[str(c.value) for c in s.row(r)] for r in range(s.nrows)]}
              for s in book.sheets()]
    try:
        check_structure(workbook_stream(path, problems), problems)
    except (ValueError, IndexError, struct.error, TypeError) as e:
        problems.append('unreadable string table: %s' % e)
    return {'sheets': sheets, 'problems': problems}


if __name__ == '__main__':
    read = {'.csv': tableread.read_csv, 'xlsx': tableread.read_xlsx}.get(sys.argv[1][-4:], read_xlrd)
    json.dump(read(sys.argv[1]), sys.stdout, ensure_ascii=False)
