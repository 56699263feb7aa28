"""lumoreq: fetch, clean, filter, plot and export geophysical precursor observation series.

The work is done by the extension modules ``lumoreq.fetching``, ``cleaning``, ``refinery``,
``QCAT``, ``chartkit``, ``chartwork``, ``yearcompare`` and ``plotting``; import the one you need.
Importing the package itself loads none of them (and so sets up no logging and no chart style).
"""

__version__ = "0.1.0"

MODULES = (
    "logsetup",
    "fetching",
    "cleaning",
    "refinery",
    "QCAT",
    "chartkit",
    "chartwork",
    "yearcompare",
    "plotting",
)
