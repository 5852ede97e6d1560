# Sourced by the test scripts: `enter_run_folder` makes one fresh folder for a run, changes into it
# and points TMPDIR at a folder inside it, so that everything the run leaves (pytest's own folders,
# hypothesis's database, the builds', the browser's) is removed with it when the script ends,
# however it ends. Others may pass through the folder but not list it: a test hands a folder made
# inside it to another user. pytest's own folders go in it under a short name (`$basetemp`, to pass
# as --basetemp), which keeps the sockets the tests make there within the length an address may have.
enter_run_folder() {
    run_folder=$(mktemp -d)
    trap 'rm -rf "$run_folder"' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    chmod 711 "$run_folder"
    mkdir -m 711 "$run_folder/tmp"
    export TMPDIR="$run_folder/tmp"
    basetemp="--basetemp=$run_folder/t"
    cd "$run_folder"
}
