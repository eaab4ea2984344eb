"""Settings shared by every test module.

Hypothesis' timing checks (the per-example deadline and the too-slow health
check) are switched off: the suite runs on busy two-core machines and, in
one stage of scripts/test.sh, under the sanitizers, where the time an example
takes says nothing about its correctness.  Everything else keeps the active
profile's values (under CI=true that is Hypothesis' derandomized "ci"
profile).  `pytest --hypothesis-profile=NAME` still overrides this.
"""

from hypothesis import HealthCheck, settings

settings.register_profile(
    "vestri",
    parent=settings.default,
    deadline=None,
    suppress_health_check=[*settings.default.suppress_health_check, HealthCheck.too_slow],
)
settings.load_profile("vestri")
