#!/usr/bin/env bash
# Installs Chimewright as a user or the Debian package would, and checks what that leaves: every
# file with its mode, the desktop files against the validators, and the installed program at
# work when started from another folder, with a decoy "faac" on PATH that fails.
#
# Usage: install_test.sh tree|deb|chroot BUILD_DIR VERSION
#   tree    cmake --install into a DESTDIR (prefix /usr/local) and into a plain prefix
#   deb     the package that CPack builds, its fields, and its contents unpacked with dpkg -x
#   chroot  the package installed by apt-get into a new minimal Debian (debootstrap, from the
#           machine's own Debian mirror; the base system is kept as BUILD_DIR/chroot-base.tar),
#           which must then run the program (needs root; skipped, exit 77, without it)
# (install_test.sh runs SCRATCH_DIR VERSION SONG is the part that runs inside the chroot.)
set -euo pipefail
mode=$1
build=$(cd "$2" && pwd -P)
version=$3
id=example.corvane.Chimewright
work=$(mktemp -d "$build/install-test.XXXXXX")
chroot_root=
cleanup() {
    # Nothing is mounted in the chroot outside the unshared namespace that ran in it.
    [ -z "$chroot_root" ] || rm -rf --one-file-system "$chroot_root"
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
song="$work/elsewhere/a song.wav"

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Every file and link an installation holds under its prefix: "f MODE PATH" or "l PATH TARGET";
# one made straight in its place (INDEXED is "indexed") also has the file types' index.
expected_listing() {
    {
        [ "$1" = indexed ] && echo "f 644 share/applications/mimeinfo.cache"
        echo "l bin/chimewright ../lib/chimewright/chimewright"
        echo "f 755 lib/chimewright/chimewright"
        echo "f 755 lib/chimewright/faac"
        echo "f 644 lib/chimewright/back.bmp"
        echo "f 644 lib/chimewright/help.html"
        echo "f 644 share/applications/$id.desktop"
        echo "f 644 share/metainfo/$id.metainfo.xml"
        echo "f 644 share/icons/hicolor/scalable/apps/$id.svg"
        for size in 16 22 24 32 48 64 128 256; do
            echo "f 644 share/icons/hicolor/${size}x$size/apps/$id.png"
        done
        echo "f 644 share/man/man1/chimewright.1.gz"
    } | sort
}

# The width and height of a PNG, from its header.
png_size() {
    od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d\n", $3 * 256 + $4, $7 * 256 + $8 }'
}

# The files under PREFIX, their modes, the desktop files and the manual page.
check_tree() {
    local prefix=$1 indexed=${2:-}
    local listing
    listing=$(cd "$prefix" && find . -mindepth 1 ! -type d -printf '%y %m %P %l\n' |
        sed -e 's/^l [0-7]* \(.*\)$/l \1/' -e 's/ $//' | sort)
    if [ "$listing" != "$(expected_listing "$indexed")" ]; then
        fail "the files under $prefix are not the expected ones:"
        diff <(expected_listing "$indexed") <(echo "$listing") >&2 || true
    fi
    local bad_dirs
    bad_dirs=$(find "$prefix" -type d ! -perm 755 -printf '%m %P\n')
    [ -z "$bad_dirs" ] || fail "folders not open to all: $bad_dirs"

    local png
    for png in "$prefix"/share/icons/hicolor/*x*/apps/$id.png; do
        local folder
        folder=$(basename "$(dirname "$(dirname "$png")")")
        [ "$(png_size "$png")" = "$folder" ] || fail "$png is $(png_size "$png"), not $folder"
    done

    local desktop=$prefix/share/applications/$id.desktop
    desktop-file-validate "$desktop" || fail "desktop-file-validate refuses $desktop"
    grep -qx "Exec=chimewright %f" "$desktop" || fail "$desktop does not start 'chimewright %f'"
    grep -qx "Icon=$id" "$desktop" || fail "$desktop does not name the installed icon $id"
    # The tree as a whole: the metainfo, and the menu entry it names.
    appstreamcli validate-tree --no-net "$prefix" ||
        fail "appstreamcli validate-tree refuses $prefix"
    local released
    released=$(grep -m 1 -o '<release version="[^"]*"' "$prefix/share/metainfo/$id.metainfo.xml" |
        cut -d'"' -f2)
    [ "$released" = "$version" ] ||
        fail "the newest release in the metainfo is '$released', the program's version $version"

    local man
    man=$(gzip -dc "$prefix/share/man/man1/chimewright.1.gz")
    local words
    for words in '.TH CHIMEWRIGHT "1"' 'export INPUT' '\-\-fade\-in' '\-\-version'; do
        grep -qF -- "$words" <<<"$man" || fail "the manual page lacks '$words'"
    done
}

# A failing program of the encoder's name, which notes that it ran.
make_decoy() {
    mkdir -p "$work/decoy"
    cat >"$work/decoy/faac" <<EOF
#!/bin/sh
touch "$work/decoy-ran"
echo "decoy faac: not the program's own encoder" >&2
exit 3
EOF
    chmod 755 "$work/decoy/faac"
}

# The process of the program installed under PREFIX that holds SONG open, if one does.
holder_of() {
    local prefix=$1 song=$2 exe
    for exe in /proc/[0-9]*/exe; do
        [ "$(readlink "$exe" 2>/dev/null)" = "$prefix/lib/chimewright/chimewright" ] || continue
        local pid=${exe#/proc/}
        pid=${pid%/exe}
        if [ "$(find "/proc/$pid/fd" -lname "$song" 2>/dev/null)" ]; then
            echo "$pid"
            return
        fi
    done
}

# Starts the window from SONG's folder with SONG named, the way HOW says ("command": the
# command on PATH; "menu": the menu entry, launched as a file manager's "Open With" does),
# until it holds the song open (it loads its background picture before that); then ends it
# and prints what it wrote on its error output.
window_messages() {
    local prefix=$1 song=$2 how=$3
    local errors=$work/window-errors.txt
    local launch=("$prefix/bin/chimewright" "$(basename "$song")")
    [ "$how" = menu ] && launch=(gio launch "$prefix/share/applications/$id.desktop" "$song")
    mkdir -p -m 700 "$work/home" "$work/runtime"
    (cd "$(dirname "$song")" && exec env HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" \
        XDG_DATA_DIRS="$prefix/share:/usr/share" PATH="$prefix/bin:$PATH" \
        QT_QPA_PLATFORM=offscreen CHIMEWRIGHT_AUDIO=silent "${launch[@]}" 2>"$errors") &
    local starter=$! pid="" tries
    # A guard against a program that never gets there, not a measure of its speed.
    for ((tries = 0; tries < 600; tries++)); do
        pid=$(holder_of "$prefix" "$song")
        [ -n "$pid" ] && break
        sleep 0.1
    done
    if [ -n "$pid" ]; then
        kill "$pid"
        while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
    else
        echo "the window never opened $song ($how)"
        kill "$starter" 2>/dev/null || true
    fi
    wait "$starter" 2>/dev/null || true
    cat "$errors"
}

# The program installed under PREFIX, started from another folder.
check_runs() {
    local prefix=$1
    local program=$prefix/bin/chimewright
    local out

    out=$("$program" --version) || fail "$program --version failed"
    [ "$out" = "chimewright $version" ] || fail "$program --version says '$out'"

    make_decoy

    # The complete installation, and a copy of the program's part of it without its own encoder:
    # there the decoy on PATH is the only "faac" left, and the export fails with its words.
    local broken=$work/no-encoder
    mkdir -p "$broken/bin" "$broken/lib"
    cp -a "$prefix/bin/chimewright" "$broken/bin/"
    cp -a "$prefix/lib/chimewright" "$broken/lib/"
    rm -f "$broken/lib/chimewright/faac"
    local tree want_status want_decoy
    while read -r tree want_status want_decoy; do
        rm -f "$work/decoy-ran" "$work/elsewhere/ring.m4r"
        local status=0
        out=$(cd "$work/elsewhere" && PATH="$work/decoy:$PATH" "$tree/bin/chimewright" export \
            "a song.wav" -o ring.m4r --start 0.5 --end 2.5 2>"$work/export-errors.txt") ||
            status=$?
        local ran=no
        [ -e "$work/decoy-ran" ] && ran=yes
        [ "$status" = "$want_status" ] ||
            fail "export from $tree exited $status, not $want_status: $(cat "$work/export-errors.txt")"
        [ "$ran" = "$want_decoy" ] || fail "export from $tree: the decoy ran: $ran"
        if [ "$want_status" = 0 ]; then
            [[ "$out" == "ring.m4r: 2.000 s, AAC-LC, 44100 Hz, 2 channels, "* ]] ||
                fail "export from $tree printed '$out'"
        else
            [ ! -e "$work/elsewhere/ring.m4r" ] || fail "a failed export from $tree left a file"
        fi
    done <<EOF
$prefix 0 no
$broken 1 yes
EOF

    # The window finds its background picture beside itself; without it, it says so.
    local note="The background picture"
    local messages
    messages=$(window_messages "$prefix" "$song" command)
    if grep -qF -e "never opened" -e "$note" <<<"$messages"; then
        fail "the installed window did not open the song with its picture: $messages"
    fi
    rm -f "$broken/lib/chimewright/back.bmp"
    messages=$(window_messages "$broken" "$song" command)
    if ! grep -qF "$note $broken/lib/chimewright/back.bmp could not be loaded" <<<"$messages"; then
        fail "a window without its picture did not say so: $messages"
    fi
}

# "Open With": the file types' index that a direct installation made offers the menu entry for
# songs, and the entry opens the song it is given.
check_open_with() {
    local prefix=$1 type offered
    for type in audio/x-wav audio/flac audio/mpeg video/mp4; do
        offered=$(XDG_DATA_DIRS="$prefix/share:/usr/share" PATH="$prefix/bin:$PATH" gio mime "$type")
        grep -qx "[[:space:]]*$id.desktop" <<<"$offered" ||
            fail "the menu entry is not offered for $type: $offered"
    done
    local messages
    messages=$(window_messages "$prefix" "$song" menu)
    if grep -qF "never opened" <<<"$messages"; then fail "$messages"; fi
}

make_song() {
    mkdir -p "$work/elsewhere"
    ffmpeg -v error -f lavfi -i "sine=frequency=440:duration=4" -ac 2 "$song"
}

# Builds the package with CPack into $work/cpack; sets deb.
build_package() {
    cpack --config "$build/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" ||
        { cat "$work/cpack.log" >&2; exit 1; }
    deb=$work/cpack/chimewright_${version}_$(dpkg --print-architecture).deb
    [ -f "$deb" ] || { fail "no $deb: $(ls "$work/cpack")"; exit 1; }
}

# The fields of the package, its owners, and its dependencies against what its programs link.
check_package() {
    [ "$(dpkg-deb -f "$deb" Package Version)" = "Package: chimewright
Version: $version" ] || fail "the package's name and version: $(dpkg-deb -f "$deb" Package Version)"
    local owners
    owners=$(dpkg-deb -c "$deb" | awk '$2 != "root/root" { print $2, $6 }')
    [ -z "$owners" ] || fail "files not owned by root: $owners"

    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    # Every library that a program of the package links comes from a package it depends on.
    local elf
    for elf in "$work/root/usr/lib/chimewright/chimewright" "$work/root/usr/lib/chimewright/faac"; do
        local needed soname path owner
        needed=$(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
        [ -n "$needed" ] || fail "$elf links no library"
        for soname in $needed; do
            path=$(ldd "$elf" | awk -v so="$soname" '$1 == so { print $3 }')
            if [ -z "$path" ]; then
                fail "$elf links $soname, which is not found"
                continue
            fi
            owner=$(dpkg-query -S "$path" 2>/dev/null || dpkg-query -S "/usr$path" 2>/dev/null ||
                dpkg-query -S "${path#/usr}" 2>/dev/null || true)
            owner=${owner%%:*}
            if [ -z "$owner" ]; then
                fail "no package holds $soname ($path), which $elf links"
            elif ! grep -qw -- "$owner" <<<"$depends"; then
                fail "Depends lacks $owner, which holds $soname: $depends"
            fi
        done
    done
}

# The machine's own Debian mirror for its release, as apt is set up here.
debian_mirror() {
    local codename=$1
    apt-get indextargets --format '$(REPO_URI) $(ORIGIN) $(RELEASE)' 2>/dev/null |
        awk -v c="$codename" '$2 == "Debian" && $3 == c && !found { print $1; found = 1 }'
}

# A new minimal Debian of the machine's release in $chroot_root, with the package installed by
# apt-get (its dependencies only, no recommended packages), where the program must then run.
check_chroot() {
    if [ "$(id -u)" -ne 0 ] || ! command -v debootstrap >/dev/null || ! command -v unshare >/dev/null
    then
        echo "skipped: the chroot needs root, debootstrap and unshare" >&2
        exit 77
    fi
    local codename mirror base=$build/chroot-base.tar
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    chroot_root=$(mktemp -d "$build/chroot.XXXXXX")
    if [ ! -f "$base" ]; then
        mirror=$(debian_mirror "$codename")
        [ -n "$mirror" ] || { fail "apt knows no Debian mirror for $codename"; exit 1; }
        debootstrap --variant=minbase "$codename" "$chroot_root" "$mirror" >"$work/debootstrap.log" ||
            { tail -n 20 "$work/debootstrap.log" >&2; fail "debootstrap failed"; exit 1; }
        tar -C "$chroot_root" -cf "$base.part" . && mv "$base.part" "$base"
    else
        tar -C "$chroot_root" -xf "$base"
    fi
    cp /etc/resolv.conf "$chroot_root/etc/resolv.conf"
    mkdir -p "$chroot_root/test"
    cp "$deb" "$chroot_root/test/"
    cp "${BASH_SOURCE[0]}" "$chroot_root/test/install_test.sh"
    cp "$song" "$chroot_root/test/song.wav"
    # Its own mount namespace: /proc (which the program reads to find itself) is mounted for the
    # chroot alone, and gone with it.
    unshare --mount --propagation private sh -c '
        mount -t proc proc "$1/proc" &&
        chroot "$1" sh -c "apt-get update -qq &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
                ./test/$(basename "$2")" >"$1/test/apt.log" 2>&1 || exit 1
        chroot "$1" bash /test/install_test.sh runs /test "$3" /test/song.wav' \
        sh "$chroot_root" "$deb" "$version" || {
        tail -n 20 "$chroot_root/test/apt.log" >&2
        fail "the package did not install and run in a new Debian"
    }
}

case "$mode" in
    tree)
        # A staged installation (DESTDIR), as packagers make, and a user's own prefix.
        DESTDIR="$work/stage" cmake --install "$build" --prefix /usr/local >/dev/null
        check_tree "$work/stage/usr/local"
        cmake --install "$build" --prefix "$work/prefix" >/dev/null
        check_tree "$work/prefix" indexed
        make_song
        check_runs "$work/prefix"
        check_open_with "$work/prefix"
        ;;
    deb)
        build_package
        dpkg -x "$deb" "$work/root"
        check_package
        check_tree "$work/root/usr"
        make_song
        check_runs "$work/root/usr"
        ;;
    chroot)
        make_song
        build_package
        check_chroot
        ;;
    runs)
        # In the chroot: BUILD_DIR is a scratch folder, and the song comes made.
        mkdir -p "$work/elsewhere"
        cp "$4" "$song"
        check_runs /usr
        # Qt's window-system plugin for X is there, with all it links.
        xcb=$(find /usr/lib -path '*/qt6/plugins/platforms/libqxcb.so' -print -quit)
        if [ -z "$xcb" ]; then
            fail "Qt's X plugin is not installed"
        else
            missing=$(ldd "$xcb" | grep "not found" || true)
            [ -z "$missing" ] || fail "Qt's X plugin lacks libraries: $missing"
        fi
        ;;
    *)
        echo "usage: $0 tree|deb|chroot BUILD_DIR VERSION" >&2
        exit 2
        ;;
esac

if [ "$failures" -gt 0 ]; then
    echo "$failures checks failed" >&2
    exit 1
fi
echo "all checks passed"
