#!/bin/sh
# Builds the interpreter fuzzers with clang (libFuzzer + ASan + UBSan) into
# BUILD (default /work/main/build-fuzz, or $TARQ_FUZZ_BUILD): fuzz_parser
# (script text), fuzz_image (serialised value images) and fuzz_dict
# (dictionary files), and prepares
#   BUILD/seeds/        one file per case of tests/golden/*.tq
#   BUILD/tarq.dict     operator symbols, control words and punctuation
#   BUILD/seeds-image/  images of a few typical values
#   BUILD/seeds-dict/   a few dictionary files (fuzz_dict)
# The normal build does not use any of this. Run a session with run.sh.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${TARQ_FUZZ_BUILD:-$root/build-fuzz}
cxx=${CXX_FUZZ:-/usr/bin/clang++}

cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "${JOBS:-1}"

python3 - "$root" "$build" <<'PY'
import os, re, sys
root, build = sys.argv[1], sys.argv[2]

# Seeds: the script of every golden case. Switch flags become the harness's
# first byte (0x10 + trace 1, parse 2, verbose 4, comments 8).
seeds = os.path.join(build, 'seeds')
os.makedirs(seeds, exist_ok=True)
gdir = os.path.join(root, 'tests', 'golden')
n = 0
for name in sorted(os.listdir(gdir)):
    if not name.endswith('.tq'):
        continue
    case, flags, script, in_expect = None, '', [], False
    def flush():
        global n
        if case is None:
            return
        bits = sum(b for f, b in (('-t', 1), ('-p', 2), ('-v', 4), ('-c', 8)) if f in flags.split())
        data = ('\n'.join(script)).encode('utf-8')
        if bits:
            data = bytes([0x10 + bits]) + data
        with open(os.path.join(seeds, '%s-%03d' % (name[:-3], n)), 'wb') as f:
            f.write(data)
        n += 1
    for line in open(os.path.join(gdir, name), encoding='utf-8'):
        line = line.rstrip('\n')
        if line.startswith('----'):
            flush()
            head = line[4:]
            case, flags = head.split('|', 1) if '|' in head else (head, '')
            script, in_expect = [], False
        elif case is None:
            continue
        elif not in_expect and line == '====':
            in_expect = True
        elif not in_expect:
            script.append(line)
    flush()

# Dictionary: every operator symbol, the control words and the punctuation
# the tokenizer treats specially.
def q(s):
    return '"' + ''.join('\\x%02x' % ord(c) if c in '"\\' or not ' ' <= c <= '~' else c for c in s) + '"'
words = []
for line in open(os.path.join(root, 'interpreter', 'KOpsList.h'), encoding='utf-8'):
    m = re.match(r'KOP\(\d+, "((?:[^"\\]|\\.)*)"', line)
    if m:
        words.append(m.group(1).encode().decode('unicode_escape'))
src = open(os.path.join(root, 'interpreter', 'KTokenizer.cpp'), encoding='latin-1').read()
words += re.findall(r'\{"(:[^"]*)", \d+, KT::ct', src)
words += [':IF', ':WHILE', ':FOR', '{', '}', '(', ')', '[', ']', "'", '"', '$', '=>', '=>[', '#OP', '#PGM',
          ';', '.', ':', '_', 'e', '..', '$$', '$*', '*$', '$**', '$C', '$c', '$D', '$d', '$P', '$p',
          '$S', '$T', '$t', '$V', '$v', '$R', '$r', ':size', ':string', ':stringv', ':typen', ':typec',
          ':obj', ':code', 'l__', 'r__', '@',
          '\r\n', '2147483647', '_2147483648', '1e308', '0.5']
seen, out = set(), []
for w in words:
    if w not in seen:
        seen.add(w)
        out.append(q(w))
with open(os.path.join(build, 'tarq.dict'), 'w') as f:
    f.write('\n'.join(out) + '\n')
print('seeds: %d, dictionary words: %d' % (n, len(out)))
PY

mkdir -p "$build/seeds-image"
(cd "$build/seeds-image" && TARQ_FUZZ_IMAGE_SEEDS=. "$build/fuzz_image")

mkdir -p "$build/seeds-dict"
(cd "$build/seeds-dict" && TARQ_FUZZ_DICT_SEEDS=. "$build/fuzz_dict" && rm -rf work)
