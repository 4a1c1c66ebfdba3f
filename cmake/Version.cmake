# The one version of the whole system: the Windows binaries' version resources,
# tarnhost --version, hvdiag --version and the packages all take it from here.
# The library's own version resource is fixed at 2.00.10.150, so the system
# carries the same number.
set(HV_VERSION 2.0.10.150)
