#!/bin/bash
# The Windows program's whole query under Wine, against the COM-level test
# directory (activeds.dll beside the program, registered as the ADSystemInfo
# server in the tests' prefix). Every run is traced; a leak or a release out
# of order fails the case.
#   USERMAIL  the program beside the test directory   WINEPREFIX  the prefix
# Usage: cases.sh GROUP
group=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../common.sh"
export USERMAIL_SCENARIO="Z:$work/scenario" USERMAIL_TRACE="Z:$work/trace"
LOGFILE=$("$here/../blackbox/wine.sh" logdir "$WINEPREFIX")/usermail.exe.log
cd "$work" || exit 2

# scenario LINE...: the test directory's settings for the next runs
scenario() { printf '%s\n' "$@" >"$work/scenario"; }
# run ARGS...: sets $status, $out, $log (the log's messages) and $trace
run() {
    rm -f "$work/trace" "$LOGFILE"
    capture env "${winelocale[@]}" timeout 120 wine "${program:-$USERMAIL}" "$@"
    out=$outlf
    log=$(messages "$LOGFILE")
    trace=$(cat "$work/trace" 2>/dev/null)
    [[ $trace == *"leaks: 0, order faults: 0, misuses: 0"* ]] ||
        fail "$*: the trace reports leaks, order faults or misuses: $(grep -E '^(leak|order|misuse)' "$work/trace")"
}
traced() { [[ $trace == *"$1"* ]] || fail "trace line <$1> missing"; }

winelocale=() # LANG and LC_ALL for Wine alone (the locales need not exist here)
alice="alice@example.test,alice.liddell@example.test,a.liddell@example.test"
dn="CN=Alice Liddell,OU=People,DC=example,DC=test"

case $group in
success)
    # The sample user of the Linux demo directory: the same addresses, the
    # same lines in the same order, in ADSI's forms.
    scenario ""
    run -v
    expect 0 "$alice" "the demo user"
    haslines "1 ADSystemInfo com instance created" "1 user name = $dn" "1 bind to user object okay" \
        "1 name = CN=Alice Liddell" "1 schema = LDAP://example.test/schema/user" "1 schema retrieved okay" \
        "1 mandatory properties (7): " "1 objectClass = <unhandled variant type>" \
        "1 instanceType = <unhandled variant type>" "1 nTSecurityDescriptor = <unhandled variant type>" \
        "1 objectCategory = CN=Person,CN=Schema,CN=Configuration,DC=example,DC=test" "1 sn = Liddell" \
        "1 cn = Alice Liddell" "1 sAMAccountName = alice" "1 optional properties (15): " \
        "1 userAccountControl = <unhandled variant type>" "1 userPrincipalName = alice@example.test" \
        "1 uid = alice" "1 mail = alice.liddell@example.test" "1 description = Caterpillar's %s friend, 100%" \
        "1 proxyAddresses = <unhandled variant type>" "1 objectGUID = <unhandled variant type>" \
        "1 msRTCSIP-PrimaryUserAddress = sip:a.liddell@example.test" "1 objectSid = <unhandled variant type>" \
        "1 otherMailbox = alice@wonderland.test" "1 lastLogon = <unhandled variant type>" \
        "1 pwdLastSet = <unhandled variant type>" "1 accountExpires = <unhandled variant type>" \
        "1 whenCreated = <unhandled variant type>"
    nolines telephoneNumber # E_ADS_PROPERTY_NOT_FOUND writes nothing
    traced "ADsOpenObject \"LDAP://$dn\" user=(null) password=(null) flags=1 -> 0x00000000"
    traced "ADsGetObject \"LDAP://example.test/schema/user\" -> 0x00000000"
    traced "Get telephoneNumber -> 0x8000500D"
    # An attribute in both lists is read and logged twice, printed once; a
    # requested attribute in neither list is never read.
    scenario "mandatory array mail cn" "optional array mail homeMail"
    run -v -p mail -p otherMailbox
    expect 0 "alice.liddell@example.test" "an attribute in both lists"
    haslines "1 mail = alice.liddell@example.test" "1 mail = alice.liddell@example.test"
    [[ $trace != *"Get otherMailbox"* ]] || fail "an attribute in neither list was read"
    # A logon script run as SYSTEM: ADSystemInfo names the computer's
    # account, whose object the program reads; it has no address.
    scenario "username CN=WS01,OU=Computers,DC=example,DC=test" "name CN=WS01" \
        "schema LDAP://example.test/schema/computer" "mandatory array objectClass cn" \
        "optional array dNSHostName servicePrincipalName userPrincipalName mail" \
        "value objectClass array top;person;organizationalPerson;user;computer" "value cn bstr WS01" \
        "value dNSHostName bstr ws01.example.test" "value servicePrincipalName multi HOST/WS01;HOST/ws01.example.test" \
        "novalue userPrincipalName" "novalue mail"
    run -v
    expect 0 "" "the computer's account"
    haslines "1 user name = CN=WS01,OU=Computers,DC=example,DC=test" "1 schema = LDAP://example.test/schema/computer" \
        "1 dNSHostName = ws01.example.test" "1 servicePrincipalName = <unhandled variant type>"
    # The default scenario: a machine in no domain.
    unset USERMAIL_SCENARIO
    run
    expect 1 "unable to retrieve user name (2147943755 = No such domain.)" "no domain"
    logged 0 "unable to retrieve user name (2147943755 = No such domain.)" "$LOGFILE" || fail "failure not logged"
    ;;
failures)
    # The rows that end the query: the message with Wine's text for the
    # HRESULT, or the bare code where it has none, after everything is given up.
    for row in "CreateInstance 0x80040154 unable to create ADSystemInfo com instance (2147746132 = unknown error)" \
        "get_UserName 0x80070005 unable to retrieve user name (2147942405 = Access denied.)" \
        "ADsOpenObject 0x8007203A unable to bind to user object (2147950650 = unknown error)" \
        "ADsOpenObject 0x80004005 unable to bind to user object (2147500037 = Call failed.)"; do
        read -r call code message <<<"$row"
        scenario "result $call $code"
        run -v
        expect 1 "$message" "$call failing"
        logged 0 "$message" "$LOGFILE" || fail "$call: the failure was not logged"
        traced CoUninitialize
    done
    # A success code other than S_OK is a failure; what came with it is
    # given up at once, before COM is shut down.
    for row in "CreateInstance unable to create ADSystemInfo com instance" \
        "ADsOpenObject unable to bind to user object"; do
        read -r call message <<<"$row"
        scenario "result $call 0x00000001"
        run
        [ "$status" = 1 ] && [[ $out == "$message ("* ]] || fail "$call S_FALSE: exit $status, <$out>"
    done
    scenario "result ADsGetObject 0x00000001"
    run
    [ "$status" = 1 ] && [[ $out == "unable to open schema class ("* ]] || fail "ADsGetObject S_FALSE: exit $status, <$out>"
    # The rows that end it normally: the directory's answer about the object.
    scenario "result get_Name 0x80004005"
    run -v
    expect 0 "$alice" "get_Name failing"
    nolines "1 name = "
    # (their causes at level 2, after the last line of the query's steps)
    scenario "result get_Schema 0x80070005"
    run -v
    expect 0 "" "get_Schema failing"
    [ "$(grep '^1 ' <<<"$log" | tail -n 1)" = "1 name = CN=Alice Liddell" ] || fail "get_Schema failing: last line <$(tail -n 1 <<<"$log")>"
    haslines "2 unable to retrieve schema (2147942405 = Access denied.)"
    scenario "result ADsGetObject 0x80072030"
    run -v
    expect 0 "" "ADsGetObject failing"
    [ "$(grep '^1 ' <<<"$log" | tail -n 1)" = "1 schema = LDAP://example.test/schema/user" ] || fail "ADsGetObject failing"
    # A schema step whose result is no answer about the object (the
    # directory unreachable, the credentials not taken, COM failing) fails
    # the run with that result.
    for row in "get_Schema unable to retrieve schema" "ADsGetObject unable to open schema class" \
        "get_OptionalProperties unable to retrieve optional properties"; do
        read -r call message <<<"$row"
        scenario "result $call 0x8007203A"
        run
        expect 1 "$message (2147950650 = unknown error)" "$call: server down"
        traced CoUninitialize
    done
    # RPC_S_SERVER_UNAVAILABLE, RPC_S_CALL_FAILED, ERROR_DS_LOCAL_ERROR,
    # ERROR_LOGON_FAILURE, SEC_E_NO_AUTHENTICATING_AUTHORITY, WSAETIMEDOUT,
    # WSAECONNRESET, ERROR_CONNECTION_ABORTED, ERROR_UNEXP_NET_ERR, E_FAIL.
    for code in 0x800706BA 0x800706BE 0x8007203B 0x8007052E 0x80090311 0x8007274C 0x80072746 0x800704D4 \
        0x8007003B 0x80004005; do
        decimal=$((code))
        scenario "result get_Schema $code"
        run
        [ "$status" = 1 ] && [[ $out == "unable to retrieve schema ($decimal = "* ]] ||
            fail "get_Schema $code: exit $status, <$out>"
        scenario "result GetInfo $code"
        run
        [ "$status" = 1 ] && [[ $out == "unable to read "*" ($decimal = "* ]] || fail "GetInfo $code: exit $status, <$out>"
    done
    # Every answer about an attribute lets the walk go on: not set, not
    # supported, no such attribute, access denied, a value that can't be
    # converted.
    for code in 0x80005005 0x80005006 0x8007200A 0x80072098 0x8000500C; do
        scenario "result Get mail $code"
        run -p mail -p proxyAddresses
        [ "$status" = 0 ] || fail "Get mail $code: exit $status, <$out>"
    done
    scenario "result get_MandatoryProperties 0x8000500D"
    run -v
    expect 0 "$alice" "mandatory list failing"
    nolines "1 mandatory properties"
    haslines "1 optional properties (15): "
    scenario "result get_OptionalProperties 0x80005006"
    run -v
    expect 0 "" "optional list failing"
    nolines "1 optional properties"
    # COM already initialised on the thread: a failure, and no CoUninitialize.
    scenario "result CoInitialize 0x00000001"
    run
    [ "$status" = 1 ] && [[ $out == "unable to initialize com ("* ]] || fail "CoInitialize S_FALSE: exit $status, <$out>"
    traced "CoInitialize -> 1"
    [[ $trace != *CoUninitialize* ]] || fail "CoUninitialize after CoInitialize said S_FALSE"
    # The property cache can't be loaded because the server is gone: the
    # first read fails the run with its cause, never "no addresses".
    for lost in 0x8007203A:2147950650 0x8007054B:2147943755; do
        scenario "result GetInfo ${lost%:*}"
        run -v
        [ "$status" = 1 ] && [[ $out == "unable to read "*" (${lost#*:} = "* ]] ||
            fail "the property cache not loaded (${lost%:*}): exit $status, <$out>"
        traced "GetInfo (implicit) -> ${lost%:*}"
        nolines "<failed retrieval>"
    done
    # Refused for another reason: each read is logged as such with its cause
    # at level 2, and the query ends normally.
    scenario "result GetInfo 0x80070005"
    run -v
    expect 0 "" "the property cache refused"
    haslines "1 cn = <failed retrieval>" "2 unable to read cn (2147942405 = " \
        "1 mail = <failed retrieval>" "1 whenCreated = <failed retrieval>"
    [ -z "$(sed -n '/^1 schema retrieved okay/,$p' <<<"$log" | grep '^1 ' | grep -v -e 'properties (' -e '<failed retrieval>' -e 'schema retrieved okay')" ] ||
        fail "the property cache refused: an attribute was read"
    # Any other answer about an attribute is "<failed retrieval>" in both
    # walks; a result that is none fails the run.
    scenario "result Get cn 0x80072098" "result Get mail 0x8000500C"
    run -v
    expect 0 "alice@example.test,a.liddell@example.test" "Get failing"
    haslines "1 cn = <failed retrieval>" "1 mail = <failed retrieval>"
    scenario "result Get mail 0x8000DEAD"
    run
    [ "$status" = 1 ] && [[ $out == "unable to read mail (2147540653 = "* ]] || fail "Get 0x8000DEAD: exit $status, <$out>"
    # A text the program can't convert fails the run, and leaks nothing.
    scenario "failconversion CN=Alice Liddell"
    run
    expect 1 "unable to convert text (1113 = No Unicode translation.)" "get_Name's text unconvertible"
    traced 'WideCharToMultiByte "CN=Alice Liddell" fails'
    ;;
slash)
    # A DN holding "/" is bound with it escaped, as ADSI reads the path.
    scenario "username CN=Sales/East,OU=People,DC=example,DC=test"
    run -v
    expect 0 "$alice" "a DN with a slash"
    haslines "1 user name = CN=Sales/East,OU=People,DC=example,DC=test"
    traced 'ADsOpenObject "LDAP://CN=Sales\/East,OU=People,DC=example,DC=test"'
    ;;
shapes)
    # Name lists: one name as a plain string; two dimensions (no walk); an
    # element that holds no string (skipped, still counted); no data at all.
    scenario "mandatory bstr sAMAccountName" "optional 2d mail"
    run -v
    expect 0 "" "single-string and 2-D lists"
    haslines "1 mandatory properties (1): " "1 sAMAccountName = alice"
    nolines "1 optional properties"
    # Names as an array of BSTRs, as some providers give them.
    scenario "mandatory bstrs cn sAMAccountName" "optional bstrs mail"
    run -v
    expect 0 "alice.liddell@example.test" "lists as arrays of BSTRs"
    haslines "1 mandatory properties (2): " "1 cn = Alice Liddell" "1 sAMAccountName = alice" \
        "1 optional properties (1): " "1 mail = alice.liddell@example.test"
    scenario "mandatory mixed cn # sn" "optional empty"
    run -v
    expect 0 "" "a non-string element, an empty list"
    haslines "1 mandatory properties (3): " "1 cn = Alice Liddell" "1 sn = Liddell" "1 optional properties (0): "
    traced "data=null"
    # Values of every type: only a plain BSTR is text.
    scenario "optional array a b c d e f g h" "value a nullbstr" "value b i4" "value c bool" \
        "value d array x@example.test;y@example.test" "value e dispatch" "value f byrefbstr" "value g empty" \
        "value h bstr h@example.test"
    run -v -p a -p b -p c -p d -p e -p f -p g -p h
    expect 0 "h@example.test" "value types"
    haslines "1 a = " "1 b = <unhandled variant type>" "1 c = <unhandled variant type>" \
        "1 d = <unhandled variant type>" "1 e = <unhandled variant type>" "1 f = <unhandled variant type>" \
        "1 g = <unhandled variant type>" "1 h = h@example.test"
    traced "gone dispatch"
    # A null DN: the bind gets "LDAP://" and nothing else.
    scenario "username null" "result ADsOpenObject 0x80004005"
    run -v
    haslines "1 user name = "
    traced 'ADsOpenObject "LDAP://" user=(null)'
    ;;
codepages)
    # Wine's ANSI code page follows LANG. The bind gets the DN exactly as
    # the directory gave it; the log shows the narrow text; addresses cut
    # out of a longer non-ASCII word, or touching a substituted character,
    # are not printed (the value's other addresses are). No "best fit":
    # code page 1251 would make "jörg" the other mailbox "jorg".
    for row in "en_US.UTF-8 CP1252 Jörg Müller" "ru_RU.UTF-8 CP1251 Юлия Петрова"; do
        read -r lang charset person <<<"$row"
        winelocale=("LANG=$lang" "LC_ALL=$lang")
        scenario "username CN=$person,OU=People,DC=example,DC=test" "name CN=$person" \
            "optional array mail userPrincipalName description" \
            "value mail bstr jörg@example.test, юля@example.test, alice@example.test" \
            "value userPrincipalName bstr alice@exämple.test" "value description bstr 用户@example.test"
        run -v -p mail -p userPrincipalName -p description
        expect 0 "alice@example.test" "$lang: non-ASCII values"
        traced "ADsOpenObject \"LDAP://CN=$person,OU=People,DC=example,DC=test\""
        narrow=$(printf '%s' "1 user name = CN=$person,OU=People,DC=example,DC=test" | iconv -f UTF-8 -t "$charset")
        haslines "$narrow"
    done
    # Punctuation and spaces outside ASCII end an address as ASCII ones do; a
    # letter ends none. In code page 932 the katakana's trail byte is 0x40, and
    # the quotation mark's looks like an ASCII letter: neither is part of an
    # address. UTF-8 (65001) takes a program whose manifest asks for it.
    for row in "en_US.UTF-8 $USERMAIL" "ja_JP.UTF-8 $USERMAIL" "en_US.UTF-8 $USERMAILUTF8"; do
        read -r lang program <<<"$row"
        winelocale=("LANG=$lang" "LC_ALL=$lang")
        scenario "optional array mail description" \
            "value mail bstr “bob@example.test”, ァ@example.test, jörg@example.test" \
            "value description bstr a@b.example, Ünal@example.test"
        program=$program run -p mail -p description
        expect 0 "bob@example.test,a@b.example" "$lang $(basename "$program"): punctuation and letters"
    done
    ;;
*)
    echo "unknown group $group"
    exit 2
    ;;
esac
finish
