#!/usr/bin/python3
# Reads an exported .csv or .xlsx file back for the tests, independently of
# the program, for xlsread.py, which prints the result as it does for .xls:
# one JSON object of the sheets' cells and the "problems" found.
import csv
import datetime
import io
import re


def read_csv(path):
    # UTF-8 behind a BOM, the separator after the first field name, and the
    # bytes exactly as the csv module writes RFC 4180 (CRLF, minimal quotes).
    raw = open(path, 'rb').read()
    problems = [] if raw.startswith(b'\xef\xbb\xbf') else ['no byte-order mark']
    text = raw.decode('utf-8-sig')
    sep = re.match(r'\w*(.)', text).group(1)
    rows = list(csv.reader(io.StringIO(text, newline=''), delimiter=sep))
    again = io.StringIO(newline='')
    csv.writer(again, delimiter=sep, lineterminator='\r\n').writerows(rows)
    problems += [] if again.getvalue() == text else ['not as RFC 4180 writes these rows']
    return {'sheets': [{'name': '', 'rows': rows}], 'problems': problems}


# The cells' kinds and number formats by column name, and the width each needs
# to be shown whole (Excel shows ##### for a narrower date).
TEXT = (str, 'General', 0)
KINDS = {'sampling_date': (datetime.datetime, 'yyyy-mm-dd', 11), 'sampling_time': (datetime.time, 'hh:mm:ss', 9),
         'value': ((int, float), r'0(\.0+)?', 0)}
# The figures of the series sheet are numbers too.
KINDS.update({name: KINDS['value'] for name in
              ('n', 'mean', 'sd', 'rsd', 'min', 'max', 'range', 'within', 'warning', 'outside', 'below_minimum')})


def xlsx_text(v, number_format):
    if isinstance(v, (datetime.datetime, datetime.time)):
        return v.strftime('%Y-%m-%d' if isinstance(v, datetime.datetime) else '%H:%M:%S')
    if isinstance(v, (int, float)):  # as shown: 0.000 has three decimals
        return '%.*f' % (len(number_format) - 2, v) if number_format.startswith('0.') else '%.15g' % v
    # _xHHHH_ names a character (ECMA-376 ST_Xstring)
    return re.sub(r'_x([0-9A-Fa-f]{4})_', lambda m: chr(int(m.group(1), 16)), v or '')


def read_xlsx(path):
    # Cells as text (numbers in %.15g); each column's cells must be of the
    # kind its name says (text where it says none).
    import openpyxl
    problems, sheets = [], []
    for ws in openpyxl.load_workbook(path).worksheets:
        rows = [list(r) for r in ws.iter_rows()]
        kinds = [KINDS.get(c.value, TEXT) for c in rows[0]]
        if ws.freeze_panes != 'A2' or not all(c.font.b for c in rows[0]):
            problems.append('%s: the header row is not frozen and bold' % ws.title)
        for c, cell in enumerate(rows[0]):
            width = ws.column_dimensions[cell.column_letter].width
            if width < max(kinds[c][2], len(cell.value) + 1):
                problems.append('%s column %d: %s too narrow at %g' % (ws.title, c + 1, cell.value, width))
        for r, row in enumerate(rows):
            for c, cell in enumerate(row):
                kind = kinds[c] if r else TEXT
                if cell.value is not None and (not isinstance(cell.value, kind[0])
                                               or not re.fullmatch(kind[1], cell.number_format)):
                    problems.append('%s row %d column %d: %r as %s' % (ws.title, r + 1, c + 1, cell.value,
                                                                       cell.number_format))
                row[c] = xlsx_text(cell.value, cell.number_format)
        sheets.append({'name': ws.title, 'rows': rows})
    return {'sheets': sheets, 'problems': problems}
