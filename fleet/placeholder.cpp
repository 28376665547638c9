// Comparing runs and screening fleets come here.
