"""pytest plugin for the run against an installed wheel (scripts/wheel.sh).

It leaves out the tests that need what a user of the wheel does not have: the
source checkout (marked `source_tree`), a distribution build (`slow`), or a
compiler (the fixtures that build a test-only extension). What remains uses
the installed package alone.

    python -m pytest -p installed_wheel TESTS
"""

from __future__ import annotations

# Fixtures that compile a test-only extension module.
BUILDS_EXTENSION = frozenset({"exporter_module", "consumer", "capi_example", "batch_consumer"})
LEFT_OUT_MARKERS = {
    "slow": "builds a distribution or a fresh environment",
    "source_tree": "reads the source checkout",
}


def pytest_configure(config):
    for name, meaning in LEFT_OUT_MARKERS.items():
        config.addinivalue_line("markers", f"{name}: {meaning}")


def needs_more_than_the_wheel(item) -> bool:
    if any(item.get_closest_marker(name) for name in LEFT_OUT_MARKERS):
        return True
    return bool(BUILDS_EXTENSION & set(getattr(item, "fixturenames", ())))


def pytest_collection_modifyitems(config, items):
    left_out = [item for item in items if needs_more_than_the_wheel(item)]
    if left_out:
        config.hook.pytest_deselected(items=left_out)
        items[:] = [item for item in items if not needs_more_than_the_wheel(item)]
