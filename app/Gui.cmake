# The desktop dialog (Qt 6 Widgets). Targets: vantrel, and its tests.
