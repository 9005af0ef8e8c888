#!/bin/bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# zodisk's bash completion in a bash that has nothing of the bash-completion
# package, and (when it is installed) in one that has loaded it: the same
# command lines complete to the same words in both.
#   completion_test.sh SRC
set -uo pipefail
src=$1
cd "$src" || exit 1

# Command line (the cursor at its end) <TAB> the words offered, in order.
cases=$(cat <<'END'
zodisk 	list tree show check ports wwid multipath nvme-volume nvme-device xvd-to-sd sd-to-xvd snapshot diff watch metrics
zodisk diff --l	--live
zodisk diff examples/hosts/qemu-s	examples/hosts/qemu-san
zodisk metrics --t	--timeout --textfile
zodisk metrics --textfile docs/zodisk-al	docs/zodisk-alerts.yml
zodisk sh	show
zodisk multipath 	add remove
zodisk multipath add --d	--dry-run
zodisk multipath add --f	
zodisk multipath remove --f	--force
zodisk -o MOUNT	MOUNTPOINTS
zodisk list --ki	--kind
zodisk list --kind n	nvme
zodisk -o MAJ:	MIN
zodisk -o NAME,MA	NAME,MAJ:MIN NAME,MAP
zodisk -o +PS	+PSTATE
zodisk --sysroot examples/hosts/qemu-san list /dev/sd	/dev/sda /dev/sdb /dev/sdc /dev/sdd
zodisk --sysroot examples/hosts/qemu-san -o NAME wwid /dev/nvme	/dev/nvme0n1 /dev/nvme1n1
zodisk --sysroot examples/hosts/qemu-s	examples/hosts/qemu-san
zodisk --timeout 	
END
)

# Runs every case in a fresh bash (no rc files) after the given set-up.
run() {
    local setup=$1
    bash --norc --noprofile -c "
        $setup
        source tools/zodisk.bash-completion || exit 1
        status=0
        while IFS=\$'\t' read -r line want; do
            COMP_LINE=\$line COMP_POINT=\${#line} COMPREPLY=()
            _zodisk 2>/tmp/zodisk-completion-err.\$\$
            got=\${COMPREPLY[*]}
            if [[ \$got != \"\$want\" || -s /tmp/zodisk-completion-err.\$\$ ]]; then
                echo \"[\$line] offered [\$got], expected [\$want]\" >&2
                cat /tmp/zodisk-completion-err.\$\$ >&2
                status=1
            fi
        done
        rm -f /tmp/zodisk-completion-err.\$\$
        complete -p zodisk >/dev/null || { echo 'zodisk has no completion' >&2; status=1; }
        exit \$status
    " <<<"$cases"
}

status=0
run "declare -F _init_completion && exit 1" || { echo "FAILED without bash-completion" >&2; status=1; }
bc=/usr/share/bash-completion/bash_completion
if [ -r "$bc" ]; then
    run "source $bc; declare -F _init_completion >/dev/null || exit 1" ||
        { echo "FAILED with bash-completion loaded" >&2; status=1; }
else
    echo "bash-completion is not installed: only the case without it ran"
fi
exit $status
