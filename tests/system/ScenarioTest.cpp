// scenarios
