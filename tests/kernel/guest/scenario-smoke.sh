# SPDX-License-Identifier: LGPL-2.1-or-later
# Scenario smoke: nothing but the guest itself; the library loads and runs.
ZO_FILTER="KernelSmoke.*:KernelHost.*"
