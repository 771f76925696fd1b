#!/usr/bin/env python3
"""Checks that a file written by gen835 is well-formed and balanced: ISA field
widths, delimiters, SE/GE/IEA counts and control numbers, and every amount
(service lines, claims, BPR02 against the claims and PLB).

usage: check835.py FILE [--newline none|lf|crlf] [--fold W] [--preamble-len N]
                         [--delims "*:~,|^~,..."] [--expect-997] [--expect-interchanges N]
Prints a summary line; exits 1 with a message on the first problem.
"""
import re
import sys
from decimal import Decimal

ISA_WIDTHS = [2, 10, 2, 10, 2, 15, 2, 15, 6, 4, 1, 5, 9, 1, 1, 1]
DATA_RE = re.compile(rb'^[A-Z0-9 .\-]*$')
AMOUNT_RE = re.compile(r'^-?(0|[1-9][0-9]*)(\.[0-9]?[1-9])?$')


def fail(msg):
    print('FAIL:', msg)
    sys.exit(1)


def amount(text):
    if not AMOUNT_RE.match(text) or text == '-0':
        fail(f'bad amount {text!r}')
    return Decimal(text)


def main():
    args = sys.argv[1:]
    path = args.pop(0)
    opts = {'--newline': 'none', '--fold': '0', '--preamble-len': '0', '--delims': None,
            '--expect-interchanges': None}
    flags = set()
    while args:
        a = args.pop(0)
        if a in ('--expect-997',):
            flags.add(a)
        else:
            opts[a] = args.pop(0)
    data = open(path, 'rb').read()
    size = len(data)
    pre = int(opts['--preamble-len'])
    preamble, data = data[:pre], data[pre:]
    if not data.startswith(b'ISA'):
        fail('data does not start with ISA after the preamble')

    fold = int(opts['--fold'])
    if fold:
        lines = data.split(b'\r\n')
        if lines[-1] != b'':
            fail('folded output does not end with CR LF')
        lines = lines[:-1]
        for i, line in enumerate(lines):
            if (i < len(lines) - 1 and len(line) != fold) or len(line) > fold or not line:
                fail(f'physical line {i} has length {len(line)}')
            if b'\r' in line or b'\n' in line:
                fail('stray CR/LF inside folded line')
        data = b''.join(lines)
        if len(lines) > 1 and len(lines[0]) < 106:
            pass  # ISA spans a fold
    newline = {'none': b'', 'lf': b'\n', 'crlf': b'\r\n'}[opts['--newline']]
    expected_delims = opts['--delims'].split(',') if opts['--delims'] else None

    pos = 0
    stats = dict(interchanges=0, groups=0, sets835=0, sets997=0, claims=0, svc=0, plb=0,
                 nm1qc=0, nm1il=0, nm174=0, ref_ea=0, reversals=0, claim_cas=0, seg=0)
    delims_seen = []
    while pos < len(data):
        if data[pos:pos + 3] != b'ISA':
            fail(f'expected ISA at {pos}, got {data[pos:pos+20]!r}')
        e = data[pos + 3:pos + 4]
        header = data[pos:pos + 105]
        fields = header.split(e)
        if len(fields) != 17 or fields[0] != b'ISA':
            fail(f'ISA does not split into 17 fields: {header!r}')
        for i, (f, w) in enumerate(zip(fields[1:], ISA_WIDTHS), 1):
            if len(f) != w:
                fail(f'ISA{i:02d} width {len(f)} != {w}')
        s = fields[16]
        t = data[pos + 105:pos + 106]
        rep = fields[11]
        if len({e, s, t, rep}) != 4:
            fail(f'delimiters collide: {e!r} {s!r} {t!r} {rep!r}')
        delims_seen.append((e + s + t).decode('latin-1'))
        # split segments up to IEA, checking the newline after every terminator
        segs = []
        while True:
            end = data.index(t, pos)
            seg = data[pos:end]
            pos = end + 1
            if data[pos:pos + len(newline)] != newline:
                fail(f'missing newline after segment {seg[:20]!r}')
            pos += len(newline)
            if newline == b'' and data[pos:pos + 1] in (b'\r', b'\n'):
                fail('unexpected newline after terminator')
            segs.append(seg)
            if seg.startswith(b'IEA' + e):
                break
        check_interchange(segs, e, s, stats)
        stats['interchanges'] += 1
    if expected_delims and delims_seen != [expected_delims[i % len(expected_delims)] for i in range(len(delims_seen))]:
        fail(f'delimiters per interchange {delims_seen!r} != cycle {expected_delims!r}')
    if opts['--expect-interchanges'] and stats['interchanges'] != int(opts['--expect-interchanges']):
        fail(f"interchanges {stats['interchanges']} != {opts['--expect-interchanges']}")
    if '--expect-997' in flags and stats['sets997'] != stats['interchanges']:
        fail('not one 997 per interchange')
    if stats['nm1qc'] != stats['claims']:
        fail('a claim lacks NM1*QC')
    print(f'OK {path}: {size} bytes, preamble {len(preamble)}, delims {sorted(set(delims_seen))!r}, '
          + ', '.join(f'{k}={v}' for k, v in stats.items()))


def check_interchange(segs, e, s, stats):
    els = [seg.split(e) for seg in segs]
    stats['seg'] += len(els)
    for f in els:
        tag = f[0]
        # every data element (and component) must be plain data; ISA11/16 hold delimiters
        for i, v in enumerate(f):
            if tag == b'ISA' and i in (11, 16):
                continue
            for c in v.split(s):
                if not DATA_RE.match(c):
                    fail(f'non-data characters in {tag!r} element {i}: {v!r}')
        if len(f) > 1 and f[-1] == b'':
            fail(f'trailing empty element in {f!r}')
    isa = [x.decode() for x in els[0]]
    iea = [x.decode() for x in els[-1]]
    if iea[0] != 'IEA' or iea[2] != isa[13]:
        fail(f'IEA02 {iea[2]} != ISA13 {isa[13]}')
    i = 1
    groups = 0
    while els[i][0] == b'GS':
        gs = [x.decode() for x in els[i]]
        i += 1
        sets = 0
        while els[i][0] == b'ST':
            start = i
            while els[i][0] != b'SE':
                i += 1
            st = [x.decode() for x in els[start]]
            se = [x.decode() for x in els[i]]
            body = [[x.decode() for x in f] for f in els[start:i + 1]]
            if int(se[1]) != len(body):
                fail(f'SE01 {se[1]} != {len(body)} segments')
            if se[2] != st[2]:
                fail(f'SE02 {se[2]} != ST02 {st[2]}')
            if st[1] == '835':
                if gs[1] != 'HP':
                    fail('835 outside a GS*HP group')
                check_835(body, s.decode('latin-1'), stats)
                stats['sets835'] += 1
            elif st[1] == '997':
                if gs[1] != 'FA':
                    fail('997 outside a GS*FA group')
                tags = [f[0] for f in body]
                if 'AK2' not in tags or 'AK5' not in tags:
                    fail('997 without AK2/AK5')
                stats['sets997'] += 1
            else:
                fail(f'unexpected set {st[1]}')
            sets += 1
            i += 1
        ge = [x.decode() for x in els[i]]
        if ge[0] != 'GE' or int(ge[1]) != sets or ge[2] != gs[6]:
            fail(f'GE {ge} does not close GS {gs} with {sets} sets')
        groups += 1
        i += 1
    if i != len(els) - 1:
        fail(f'unexpected segment {els[i]!r}')
    if int(iea[1]) != groups:
        fail(f'IEA01 {iea[1]} != {groups} groups')
    stats['groups'] += groups


def check_835(body, sub, stats):
    tags = [f[0] for f in body]
    head = tags[:tags.index('LX') + 1]
    if head != ['ST', 'BPR', 'TRN', 'DTM', 'N1', 'N3', 'N4', 'N1', 'N3', 'N4', 'REF', 'LX']:
        fail(f'unexpected header {head}')
    bpr = body[1]
    total_paid = Decimal(0)
    plb_total = Decimal(0)
    claim = None

    def close_claim():
        if claim is None:
            return
        c = claim
        if c['charge'] != sum(c['svc_charge']):
            fail(f"CLP03 {c['charge']} != sum SVC02 {sum(c['svc_charge'])}")
        if c['paid'] != sum(c['svc_paid']) - c['claim_cas']:
            fail(f"CLP04 {c['paid']} != sum SVC03 - claim CAS")
        if c['claim_cas'] == 0 and c['paid'] != sum(c['svc_paid']):
            fail('CLP04 != sum SVC03 without claim CAS')
        if c['charge'] - c['paid'] != c['claim_cas'] + c['line_cas']:
            fail(f"CLP03-CLP04 {c['charge'] - c['paid']} != all CAS {c['claim_cas'] + c['line_cas']}")
        if c['pr'] != c['resp']:
            fail(f"CLP05 {c['resp']} != PR total {c['pr']}")
        if not c['qc']:
            fail('claim without NM1*QC')

    line = None

    def close_line():
        if line is None:
            return
        if line['charge'] - line['paid'] != line['cas']:
            fail(f"SVC02-SVC03 {line['charge'] - line['paid']} != line CAS {line['cas']}")
        if line['charge'] != line['paid'] and not line['cas_seen']:
            fail('line with charge != paid but no CAS')
        if not (line['dtm472'] and line['ref6r'] and line['b6']):
            fail('service line without DTM*472/REF*6R/AMT*B6')

    for f in body[12:-1]:
        tag = f[0]
        if tag == 'CLP':
            close_line()
            line = None
            close_claim()
            stats['claims'] += 1
            if f[2] == '22':
                stats['reversals'] += 1
            if len(f) != 10 or f[8] != '11' or f[9] != '1':
                fail(f'CLP shape {f}')
            claim = dict(charge=amount(f[3]), paid=amount(f[4]), resp=amount(f[5]), svc_charge=[], svc_paid=[],
                         claim_cas=Decimal(0), line_cas=Decimal(0), pr=Decimal(0), qc=False)
            total_paid += claim['paid']
        elif tag == 'CAS':
            total = Decimal(0)
            if (len(f) - 2) % 3 not in (0, 2):
                fail(f'CAS shape {f}')
            for k in range(2, len(f), 3):
                total += amount(f[k + 1])
            if f[1] == 'PR':
                claim['pr'] += total
            if line is None:
                claim['claim_cas'] += total
                stats['claim_cas'] += 1
            else:
                line['cas'] += total
                line['cas_seen'] = True
                claim['line_cas'] += total
        elif tag == 'NM1':
            if line is not None:
                fail('NM1 inside service line')
            if f[1] == 'QC':
                claim['qc'] = True
                stats['nm1qc'] += 1
            stats['nm1il'] += f[1] == 'IL'
            stats['nm174'] += f[1] == '74'
        elif tag == 'REF':
            if line is not None:
                line['ref6r'] = f[1] == '6R'
            stats['ref_ea'] += f[1] == 'EA'
        elif tag == 'SVC':
            close_line()
            stats['svc'] += 1
            comp = f[1].split(sub)
            if comp[0] != 'HC' or len(f) != 6 or f[4] != '':
                fail(f'SVC shape {f}')
            line = dict(charge=amount(f[2]), paid=amount(f[3]), cas=Decimal(0), cas_seen=False,
                        dtm472=False, ref6r=False, b6=False)
            claim['svc_charge'].append(line['charge'])
            claim['svc_paid'].append(line['paid'])
        elif tag == 'DTM':
            if line is not None:
                line['dtm472'] = f[1] == '472'
        elif tag == 'AMT':
            amount(f[2])
            if line is not None:
                line['b6'] = f[1] == 'B6'
        elif tag == 'PLB':
            close_line()
            line = None
            close_claim()
            claim = None
            stats['plb'] += 1
            for k in range(3, len(f), 2):
                plb_total += amount(f[k + 1])
        else:
            fail(f'unexpected segment {tag} in 835 body')
    close_line()
    close_claim()
    bpr02 = amount(bpr[2])
    if bpr02 != total_paid - plb_total:
        fail(f'BPR02 {bpr02} != sum CLP04 {total_paid} - PLB {plb_total}')
    if bpr02 < 0:
        fail('negative BPR02')


main()
