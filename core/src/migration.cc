// Classification of schema changes and migration plans.
