# shellcheck shell=bash
# What a release is made of, as functions: scripts/release.sh sources this
# file, and so do the tests that rebuild a package with another version or
# in another folder. Each function writes one file and fails (non-zero) with
# a message on standard error when it cannot.
#
# Every time stamp that goes into a file is SOURCE_DATE_EPOCH (seconds since
# 1970, which the caller sets: release.sh takes the commit's time), so the
# same inputs give the same bytes whenever and wherever they are packed.
#
# Versions. The product's version has four fields, A.B.C.D, kept in
# project() of CMakeLists.txt (the exe's version resource shows it as
# "A, B, C, D"). Windows Installer compares only the first three fields of a
# package's version, so the package's version is A.B.(C*1000+D): 1.0.0.1 is
# package 1.0.1, 1.0.0.2 is 1.0.2, 1.0.1.0 is 1.0.1000, and every increase of
# any field is an upgrade. That needs A and B at most 255, C at most 64 and D
# at most 999 (the third field's limit is 65535).

PACKAGE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

package_fail() {
    echo "package: $*" >&2
    return 1
}

# package_version BUILD_DIR: the product's version A.B.C.D as the build in
# BUILD_DIR was configured with it.
package_version() {
    local version
    version=$(sed -n 's/^BRISVEL_VERSION:INTERNAL=//p' "$1/CMakeCache.txt" 2>/dev/null)
    [ -n "$version" ] || package_fail "no version in $1/CMakeCache.txt" || return
    printf '%s\n' "$version"
}

# package_msi_version A.B.C.D: prints the package's version A.B.(C*1000+D).
package_msi_version() {
    local a b c d
    [[ $1 =~ ^([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,2})\.([0-9]{1,3})$ ]] ||
        package_fail "version \"$1\" is not A.B.C.D within 255.255.64.999" || return
    a=$((10#${BASH_REMATCH[1]})) b=$((10#${BASH_REMATCH[2]}))
    c=$((10#${BASH_REMATCH[3]})) d=$((10#${BASH_REMATCH[4]}))
    [ "$a" -le 255 ] && [ "$b" -le 255 ] && [ "$c" -le 64 ] ||
        package_fail "version \"$1\" is not A.B.C.D within 255.255.64.999" || return
    printf '%d.%d.%d\n' "$a" "$b" $((c * 1000 + d))
}

# package_guid TEXT...: a GUID in Windows Installer's form ({...}, upper
# case) made from the SHA-256 of TEXT: the same text, the same code.
package_guid() {
    local h
    h=$(printf '%s\n' "$*" | sha256sum | tr a-f A-F)
    printf '{%s-%s-%s-%s-%s}\n' "${h:0:8}" "${h:8:4}" "${h:12:4}" "${h:16:4}" "${h:20:12}"
}

# package_epoch: SOURCE_DATE_EPOCH, checked.
package_epoch() {
    [[ ${SOURCE_DATE_EPOCH:-} =~ ^[0-9]+$ ]] && [ "$SOURCE_DATE_EPOCH" -ge 315532800 ] ||
        package_fail "SOURCE_DATE_EPOCH must be set (seconds since 1970, 1980 or later)" || return
    printf '%s\n' "$SOURCE_DATE_EPOCH"
}

# package_stage DIR FILE...: copies FILEs into DIR (made empty first), read
# only for others, with SOURCE_DATE_EPOCH as their time.
package_stage() {
    local dir=$1 epoch
    shift
    epoch=$(package_epoch) || return
    rm -rf "$dir" && mkdir -p "$dir" && cp "$@" "$dir/" || return
    (cd "$dir" && chmod 0644 ./* && touch -h -d "@$epoch" ./*)
}

# package_arch_settings ARCH: the wixl definitions (NAME=VALUE) and the
# summary's template of ARCH's package, one per line, the template last.
# x86's are those of the releases before x64 joined it; each component's
# GUID is its architecture's own, for ever.
package_arch_settings() {
    case "$1" in
    x86)
        printf '%s\n' "ProgramFiles=ProgramFilesFolder" "Win64=no" \
            "ComponentGuid={A3F07D19-5C2E-4B86-9E41-D7B20C6F8E53}" \
            "UnhealthyGuid={C8F310E9-7906-4CDC-97AA-A74AC6C87706}" \
            "HeartbeatGuid={750B106F-48BA-4FCD-B2DC-0A9C10E513FC}" \
            "StopGuid={BBF3342A-2935-4F6F-96FD-396510B36663}" "Intel;1033"
        ;;
    x64)
        printf '%s\n' "ProgramFiles=ProgramFiles64Folder" "Win64=yes" \
            "ComponentGuid={5D2C8E61-0B7A-4F13-A96E-2E48C1B7D30F}" \
            "UnhealthyGuid={A611EA42-7331-4382-8D85-12E4950A766D}" \
            "HeartbeatGuid={005B5FB1-5A97-4FB3-BF8F-0BF31AC69588}" \
            "StopGuid={A7D90131-474B-4BF1-9858-801C3382ED89}" "x64;1033"
        ;;
    *) package_fail "no architecture \"$1\" (x86 or x64)" ;;
    esac
}

# package_product_code ARCH MSI_VERSION: the product code of ARCH's package
# of that version. x86 keeps the code of the releases before x64 joined it.
package_product_code() {
    if [ "$1" = x86 ]; then
        package_guid "brisvel product" "$2"
    else
        package_guid "brisvel product $1" "$2"
    fi
}

# package_same_version_upgrade MSI STAMP: the Upgrade row that finds lower
# versions finds the same version too (msidbUpgradeAttributesVersionMax-
# Inclusive, 0x200), so that the other architecture's package of the same
# release is replaced, not installed beside this one. wixl 0.101 ignores
# MajorUpgrade's AllowSameVersionUpgrades, which asks for exactly that.
# msibuild runs with the clock stopped at STAMP (UTC); the table's file is
# written beside MSI.
package_same_version_upgrade() {
    local msi=$1 stamp=$2 idt
    idt=$(dirname "$msi")/Upgrade.idt
    msiinfo export "$msi" Upgrade >"$idt.old" &&
        awk -F '\t' 'BEGIN { OFS = "\t" }
            NR > 3 && $3 != "" && $2 == "" && $5 % 1024 < 512 { $5 += 512 } { print }' \
            "$idt.old" >"$idt" &&
        TZ=UTC0 faketime -f "$stamp" msibuild "$msi" -i "$idt"
}

# package_msi EXE VERSION ARCH OUT: ARCH's package (x86 or x64) of EXE (staged
# as brisvel.exe) with the product's VERSION (A.B.C.D), written to OUT.
#
# wixl gives every build a new package code and the current time, and reads
# no SOURCE_DATE_EPOCH: it runs under faketime with the clock stopped at
# SOURCE_DATE_EPOCH, the cabinet takes the staged file's time, and msibuild
# then sets the package code to one derived from everything that went in.
package_msi() {
    local exe=$1 version=$2 arch=$3 out=$4 msi_version epoch stage code stamp settings template
    local defines=() setting
    msi_version=$(package_msi_version "$version") || return
    epoch=$(package_epoch) || return
    mapfile -t settings < <(package_arch_settings "$arch")
    [ "${#settings[@]}" -ge 2 ] || return 1
    template=${settings[-1]}
    for setting in "${settings[@]:0:${#settings[@]}-1}"; do defines+=(-D "$setting"); done
    stage=$(mktemp -d "${TMPDIR:-/tmp}/brisvel-msi.XXXXXX") || return
    package_stage "$stage" "$PACKAGE_DIR/brisvel.wxs" || return
    cp "$exe" "$stage/brisvel.exe" && chmod 0644 "$stage/brisvel.exe" &&
        touch -d "@$epoch" "$stage/brisvel.exe" || return
    code=$(package_guid "brisvel package" "$msi_version" "$epoch" \
        "$(cd "$stage" && sha256sum brisvel.exe brisvel.wxs)")
    stamp=$(TZ=UTC0 date -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
    # wixl warns on stderr about nothing that matters here (GLib property
    # notices); its output is shown only when it fails.
    if ! (cd "$stage" && TZ=UTC0 faketime -f "$stamp" wixl -a "$arch" \
        "${defines[@]}" -D "Version=$msi_version" -D "ProductVersion=$version" -D "ProductCode=$(package_product_code "$arch" "$msi_version")" \
        -o brisvel.msi brisvel.wxs >wixl.log 2>&1 &&
        package_same_version_upgrade "$stage/brisvel.msi" "$stamp" >>wixl.log 2>&1 &&
        package_failure_actions "$stage/brisvel.msi" "$stamp" >>wixl.log 2>&1 &&
        package_settings "$stage/brisvel.msi" "$stamp" >>wixl.log 2>&1 &&
        TZ=UTC0 faketime -f "$stamp" msibuild brisvel.msi \
            -s "Brisvel" "Brisvel" "$template" "$code" >>wixl.log 2>&1); then
        cat "$stage/wixl.log" >&2
        rm -rf "$stage"
        package_fail "wixl or msibuild could not build the package"
        return
    fi
    mv "$stage/brisvel.msi" "$out" && rm -rf "$stage"
}

# package_failure_actions MSI STAMP: adds to the package MSI what wixl cannot
# write: the failure actions of the service BrisvelWatch. Windows restarts it
# 5 s after its first and its second failure, and after every later one (the
# last action repeats), and forgets its failures after a day without one:
# `sc failure BrisvelWatch reset= 86400 actions= restart/5000/restart/5000`.
# Windows Installer 5.0 (Windows 7) and later carry out the package's table
# MsiServiceConfigFailureActions through the action MsiConfigureServices,
# scheduled between InstallServices and StartServices, on install and on
# repair (Event 1 + 4); older versions skip the action by its condition.
# Wine's msiexec does not carry it out: it calls itself Windows Installer 4.5.
# msibuild runs with the clock stopped at STAMP (UTC); the table's file is
# written beside MSI.
package_failure_actions() {
    local msi=$1 stamp=$2 idt
    idt=$(dirname "$msi")/MsiServiceConfigFailureActions.idt
    # An .idt file: the column names, their types, the table's name and key,
    # then one row; tab-separated. Actions 1 is SC_ACTION_RESTART, delays in
    # ms, the reset period in s.
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\r\n' \
        MsiServiceConfigFailureActions Name Event ResetPeriod RebootMessage Command Actions \
        DelayActions Component_ \
        s72 l255 i2 I4 L255 L255 L255 L255 s72 \
        >"$idt"
    printf '%s\t%s\r\n' MsiServiceConfigFailureActions MsiServiceConfigFailureActions \
        >>"$idt"
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\r\n' \
        BrisvelWatch BrisvelWatch 5 86400 '' '' '1[~]1' '5000[~]5000' Watchdog \
        >>"$idt"
    TZ=UTC0 faketime -f "$stamp" msibuild "$msi" -i "$idt" \
        -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('MsiConfigureServices', 'VersionMsi >= \"5.00\"', 5870)"
}

# package_settings MSI STAMP: what wixl cannot write for the hang-recovery
# settings (see brisvel.wxs): each setting's component is installed only
# when its value is set, and the three public properties are secure, so
# that Windows Installer passes them from the command line to the install
# it runs as local system. msibuild runs with the clock stopped at STAMP.
package_settings() {
    local msi=$1 stamp=$2 queries=() setting
    for setting in Unhealthy Heartbeat Stop; do
        queries+=(-q "UPDATE \`Component\` SET \`Condition\` = '${setting^^}_VALUE' WHERE \`Component\` = '${setting}Seconds'")
    done
    queries+=(-q "UPDATE \`Property\` SET \`Value\` = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;UNHEALTHYSECONDS;HEARTBEATSECONDS;STOPSECONDS' WHERE \`Property\` = 'SecureCustomProperties'")
    TZ=UTC0 faketime -f "$stamp" msibuild "$msi" "${queries[@]}"
}

# package_zip OUT FILE...: a zip of FILEs, in that order, at the top level,
# with SOURCE_DATE_EPOCH as their time and no owner or extra fields.
package_zip() {
    local out=$1 stage name names=()
    shift
    stage=$(mktemp -d "${TMPDIR:-/tmp}/brisvel-zip.XXXXXX") || return
    package_stage "$stage/files" "$@" || return
    for name in "$@"; do names+=("$(basename "$name")"); done
    rm -f "$out"
    # A zip holds local times: UTC makes them SOURCE_DATE_EPOCH's.
    (cd "$stage/files" && TZ=UTC0 zip -q -X -D "$stage/out.zip" "${names[@]}") &&
        mv "$stage/out.zip" "$out" || {
        rm -rf "$stage"
        package_fail "zip failed"
        return
    }
    rm -rf "$stage"
}

# package_check_signing: the certificate handed over through BRISVEL_SIGN_PFX
# can be used: the file is readable and BRISVEL_SIGN_PASSWORD is set.
package_check_signing() {
    [ -r "$BRISVEL_SIGN_PFX" ] || package_fail "BRISVEL_SIGN_PFX: cannot read $BRISVEL_SIGN_PFX" || return
    [ -n "${BRISVEL_SIGN_PASSWORD+set}" ] || package_fail "BRISVEL_SIGN_PASSWORD is not set"
}

# package_sign FILE: signs FILE (an exe or an MSI) in place with Authenticode,
# SHA-256, from BRISVEL_SIGN_PFX and BRISVEL_SIGN_PASSWORD, time-stamped by
# BRISVEL_SIGN_TIMESTAMP_URL (RFC 3161) when that is set. The password goes
# to osslsigncode through a file only this user can read, not its command
# line.
package_sign() {
    local file=$1 pass ts=()
    [ -n "${BRISVEL_SIGN_TIMESTAMP_URL:-}" ] && ts=(-ts "$BRISVEL_SIGN_TIMESTAMP_URL")
    pass=$(umask 077 && mktemp "${TMPDIR:-/tmp}/brisvel-pass.XXXXXX") || return
    printf '%s' "$BRISVEL_SIGN_PASSWORD" >"$pass"
    if ! osslsigncode sign -pkcs12 "$BRISVEL_SIGN_PFX" -readpass "$pass" -h sha256 \
        -n "Brisvel service watchdog" "${ts[@]}" -in "$file" -out "$file.signed" \
        >"$file.signlog" 2>&1; then
        cat "$file.signlog" >&2
        rm -f "$pass" "$file.signed" "$file.signlog"
        package_fail "signing $(basename "$file") failed"
        return
    fi
    rm -f "$pass" "$file.signlog"
    mv "$file.signed" "$file"
}
